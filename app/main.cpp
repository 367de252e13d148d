// Program entry. The graphics library's entry wrapper starts the process
// and calls this main, which reads the command line and hands over to
// run_mapper.
#include <allegro.h>

#include "mapper.h"
#include "options.h"
#include "standard_streams.h"

// A standard stream closed by the caller (mapper >&-) would let the next
// file opened, the X connection among them, take its number, and the
// progress log would be written into it; each closed one gets /dev/null.
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
