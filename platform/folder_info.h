// What the program asks of folders and files that it reads but does not
// make: whether a name is a folder, its canonical path, when a file last
// changed.
#ifndef PLATFORM_FOLDER_INFO_H
#define PLATFORM_FOLDER_INFO_H

#include <ctime>
#include <string>

// 0 when path names a folder, else the system's reason (an errno value)
// why it names none.
int folder_error(const std::string &path);

bool is_folder(const std::string &path);

// The canonical path (links and dots resolved, absolute) of the folder
// path names; empty when it names none.
std::string canonical_folder(const std::string &path);

// When the file at path last changed, links followed; false when that
// cannot be told.
bool last_changed(const std::string &path, std::timespec *when);

#endif
