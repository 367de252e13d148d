#include "file_io.h"

#include <allegro.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

bool fail_with_reason(std::string *why, const std::string &what, int err)
{
    if (why)
        *why = what + ": " + std::strerror(err);
    return false;
}

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

int duplicate_descriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

namespace {

// Longest file name, in the file system's encoding, that can be opened.
const int FILE_NAME_BUFFER = 4096;

// The name in the file system's encoding; false when it would not fit
// whole, which would open some other file.
bool file_system_name(const char *name, char *buffer)
{
    if (ustrsizez(name) >= FILE_NAME_BUFFER)
        return false;
    const char *converted =
        uconvert(name, U_CURRENT, buffer, get_filename_encoding(), FILE_NAME_BUFFER);
    if (converted != buffer)
        std::snprintf(buffer, FILE_NAME_BUFFER, "%s", converted);
    return true;
}

}  // namespace

std::FILE *create_named_file(const char *name)
{
    char buffer[FILE_NAME_BUFFER];
    return file_system_name(name, buffer) ? std::fopen(buffer, "wb") : nullptr;
}

std::FILE *open_named_file(const char *name)
{
    char buffer[FILE_NAME_BUFFER];
    return file_system_name(name, buffer) ? std::fopen(buffer, "rb") : nullptr;
}

int64_t named_file_size(const char *name)
{
    char buffer[FILE_NAME_BUFFER];
    struct stat st;
    if (!file_system_name(name, buffer) || stat(buffer, &st) != 0)
        return -1;
    return st.st_size;
}

void remove_named_regular_file(const char *name)
{
    char buffer[FILE_NAME_BUFFER];
    struct stat st;
    if (file_system_name(name, buffer) && stat(buffer, &st) == 0 &&
        S_ISREG(st.st_mode))
        std::remove(buffer);
}

void use_system_file_names() {}
