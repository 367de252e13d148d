#include "standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

const char NULL_DEVICE[] = "/dev/null";

bool open_closed_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Read only: a write to it still fails as on a closed stream ("Bad
        // file descriptor"), which --help and --version report.
        const int opened = open(NULL_DEVICE, O_RDONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

bool discard_standard_output()
{
    const int null_fd = open(NULL_DEVICE, O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0)
        return false;
    close(null_fd);
    return true;
}

bool leave_own_console()
{
    // A terminal is never opened for us here.
    return true;
}
