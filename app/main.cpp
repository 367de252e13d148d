// Program entry. The graphics library's entry wrapper starts the process
// and calls this main, which reads the command line and hands over to
// run_mapper.
#include <allegro.h>

#include "mapper.h"
#include "options.h"

int main(int argc, char *argv[])
{
    Options options;
    const int status = read_command_line(argc, argv, &options);
    if (status != KEEP_RUNNING)
        return status;
    return run_mapper(options);
}
END_OF_MAIN()
