// Program entry. The graphics library's entry wrapper starts the process
// and calls this main, which hands over to run_mapper; the program takes
// no arguments.
#include <allegro.h>

#include "mapper.h"

int main()
{
    return run_mapper();
}
END_OF_MAIN()
