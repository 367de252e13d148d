// "Open folder" at the end of a run from the menu: xdg-open, started as
// a child of its own and waited for by a thread of ours, so that the
// window can say what became of it.
#ifndef APP_FOLDER_OPENER_H
#define APP_FOLDER_OPENER_H

#include <string>

// Starts xdg-open on folder without waiting for it; false with *why set
// when it could not be started.
bool open_folder(const std::string &folder, std::string *why);

// What became of the last open_folder that started: "Opening the folder"
// while xdg-open runs, then "The folder was opened" or why it was not
// ("xdg-open: no method available (exit 3)"); empty before any. *change
// counts the changes, so that a window redraws only when it grew.
std::string opening_status(unsigned *change);

#endif
