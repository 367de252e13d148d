#include "file_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
