// The program's shell: start-up, the world from the command line or the
// dialog (world_dialog.h), and the one pass that reads the chosen world and
// composes its maps.
#ifndef APP_MAPPER_H
#define APP_MAPPER_H

#include "options.h"

// The whole program: start-up, the world from options or the dialog, read,
// compose. Returns the exit code of a normal run; fatal failures end the
// process with exit code 1.
int run_mapper(const Options &options);

#endif
