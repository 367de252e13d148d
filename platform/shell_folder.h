// The per-user application-data folder, as the Windows shell reports it.
// On Windows the real shell call is used; elsewhere this is our own layer
// with the same contract, backed by the XDG data folder.
#ifndef PLATFORM_SHELL_FOLDER_H
#define PLATFORM_SHELL_FOLDER_H

#include <string>

// Longest path, terminating NUL included, that a path buffer holds.
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// Separator used when building paths on this platform.
#ifdef _WIN32
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#define CSIDL_APPDATA 26

// Fills path (MAX_PATH characters) with the folder named by csidl.
// Only CSIDL_APPDATA is known: $XDG_DATA_HOME when it is an absolute path,
// else $HOME/.local/share, else the password database's home folder
// followed by /.local/share. Returns 1 on success; returns 0 and leaves
// path empty when no folder is found or the folder would not fit, so a
// caller never works with a truncated path. The folder is never created.
int SHGetSpecialFolderPathA(void *owner, char *path, int csidl, int create);

// The user's home folder: $HOME when set, else the password database's;
// empty when neither names one.
std::string home_folder();
#endif

#endif
