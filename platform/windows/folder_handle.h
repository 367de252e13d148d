// The current folder as a descriptor, for the private-output unit's
// parent_fd on Windows (the maps' folder is the current one). Windows
// sides only.
#ifndef PLATFORM_WINDOWS_FOLDER_HANDLE_H
#define PLATFORM_WINDOWS_FOLDER_HANDLE_H

// A descriptor of the current folder (close with _close); -1 on failure.
int open_current_folder();

#endif
