#include "regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char *file_kind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

}  // namespace

int open_regular_file(const char *path, std::string *why)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. O_NOCTTY: a terminal must not become ours by being opened.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = std::string("not a regular file (") + file_kind(st.st_mode) + ")";
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}
