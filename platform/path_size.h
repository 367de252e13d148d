// The size of the path buffers that the run's globals hold (appdata_path).
#ifndef PLATFORM_PATH_SIZE_H
#define PLATFORM_PATH_SIZE_H

// Bytes, terminating NUL included, that a folder path in UTF-8 may take:
// Windows' 260 characters can take three bytes each.
const int APP_DATA_PATH_BYTES = 1024;

#endif
