#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        // Nothing written and no error: a device or FUSE file system out
        // of room or broken; going on would loop for ever.
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string current_folder()
{
    char *path = getcwd(nullptr, 0);
    const std::string folder = path ? path : ".";
    std::free(path);
    return folder;
}

namespace {
const size_t READ_BUFFER = 1 << 16;
}

bool read_whole_file(const std::string &path, std::string *data)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> buf(READ_BUFFER);
    ssize_t n;
    data->clear();
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        data->append(buf.data(), static_cast<size_t>(n));
    const int err = errno;
    close(fd);
    errno = err;
    return n == 0;
}
