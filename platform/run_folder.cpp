#include "run_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char RUN_LOCK_NAME[] = "lock";

namespace {

// The lock file before it is locked: never taken for a free lock.
const char NEW_LOCK_NAME[] = "lock.new";
const mode_t LOCK_FILE_MODE = 0600;

}  // namespace

int lock_run_folder(int dir_fd)
{
    const int fd = openat(dir_fd, NEW_LOCK_NAME,
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          LOCK_FILE_MODE);
    if (fd < 0)
        return -1;
    // Whatever the umask: a later run opens it for writing to test it.
    fchmod(fd, LOCK_FILE_MODE);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        renameat(dir_fd, NEW_LOCK_NAME, dir_fd, RUN_LOCK_NAME) != 0) {
        const int err = errno;
        unlinkat(dir_fd, NEW_LOCK_NAME, 0);
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}
