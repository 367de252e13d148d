// The per-user application-data folder, as the Windows shell reports it.
// On Windows the shell's own call is used, in its wide form; elsewhere
// this is our own layer with the same contract, backed by the XDG data
// folder.
#ifndef PLATFORM_SHELL_FOLDER_H
#define PLATFORM_SHELL_FOLDER_H

#include <string>

#include "path_size.h"

// Separator used when building paths on this platform.
#ifdef _WIN32
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

// Fills path (APP_DATA_PATH_BYTES) with the application-data folder in
// UTF-8. Windows: the shell's roaming application-data folder. Elsewhere:
// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share,
// else the password database's home folder followed by /.local/share.
// Returns true on success; returns false and leaves path empty when no
// folder is found or it would not fit, so a caller never works with a
// truncated path. The folder is never created.
bool app_data_folder(char *path);

// The user's home folder: $HOME when set, else the password database's;
// empty when neither names one. POSIX systems only.
std::string home_folder();

#endif
