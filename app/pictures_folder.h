// Where a run started from the desktop menu puts its maps: the user's
// pictures folder, read from the XDG settings by the program itself as
// GLib and Qt read them, and a folder per world in it that an error or a
// stop does not leave behind empty.
#ifndef APP_PICTURES_FOLDER_H
#define APP_PICTURES_FOLDER_H

#include <string>

// The user's pictures folder: the last valid XDG_PICTURES_DIR line of
// $XDG_CONFIG_HOME/user-dirs.dirs (~/.config when that is unset, empty or
// not absolute), whose value is quoted and starts with "$HOME" or "/";
// ~/Pictures without one, or when it names the home folder (a folder
// switched off). Ends the process after a message when HOME is not set.
std::string pictures_folder();

// <pictures folder>/Mapper/World<world_number>, made with its missing
// parents; ends the process after a message when one cannot be made.
// The folders it made are removed again, when empty, on a failed or
// stopped run, unless keep_world_folder was called.
std::string make_world_folder(int world_number);

// The run has done its work: the folders it made stay.
void keep_world_folder();

#endif
