// Program entry. The graphics library's entry wrapper starts the process
// and calls this main, which reads the command line and hands over to
// run_mapper.
#include <allegro.h>
#include <fcntl.h>
#include <unistd.h>

#include "mapper.h"
#include "options.h"

namespace {

// A standard stream closed by the caller (mapper >&-) would let the next
// file opened, the X connection among them, take its number, and the
// progress log would be written into it. Each closed one gets /dev/null,
// opened for reading only: a write to it still fails as on a closed
// stream ("Bad file descriptor"), which --help and --version report.
bool open_closed_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int opened = open("/dev/null", O_RDONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (!open_closed_streams())
        return 1;
    Options options;
    const int status = read_command_line(argc, argv, &options);
    if (status != KEEP_RUNNING)
        return status;
    return run_mapper(options);
}
END_OF_MAIN()
