// Program entry. The graphics library's entry wrapper starts the process
// and calls this main, which hands over to run_mapper; the program takes
// no arguments.
#include <allegro.h>
#include <fcntl.h>
#include <unistd.h>

#include "mapper.h"

namespace {

// A standard stream closed by the caller (mapper >&-) would let the next
// file opened, the X connection among them, take its number, and the
// progress log would be written into it. Each closed one gets /dev/null.
bool open_closed_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

}  // namespace

int main()
{
    if (!open_closed_streams())
        return 1;
    return run_mapper();
}
END_OF_MAIN()
