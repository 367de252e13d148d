// Opening input files that must be regular files. A FIFO, a device or a
// folder in place of a data file would block the open, never end or fail
// in strange ways, so the kind is checked on the open descriptor, before
// anything is read.
#ifndef PLATFORM_REGULAR_FILE_H
#define PLATFORM_REGULAR_FILE_H

#include <string>

// Opens path for reading without waiting on a FIFO or a device, and
// keeps the descriptor only when it names a regular file. Returns the
// descriptor (blocking again, closed on exec), or -1 with *why set to the
// system's reason ("No such file or directory") or to "not a regular
// file (a FIFO)" and the like.
int open_regular_file(const char *path, std::string *why);

#endif
