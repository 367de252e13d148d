// The size of the path buffers that the run's globals hold (appdata_path):
// the Windows shell's limit, on every system.
#ifndef PLATFORM_PATH_SIZE_H
#define PLATFORM_PATH_SIZE_H

// Longest path, terminating NUL included, that a path buffer holds.
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

#endif
