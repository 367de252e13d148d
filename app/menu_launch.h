// A run started from the desktop menu, without a terminal: the maps go
// into the user's pictures folder, one folder per world, and the window
// stays at the end to say where they are and what was written, or what
// went wrong.
#ifndef APP_MENU_LAUNCH_H
#define APP_MENU_LAUNCH_H

#include <string>
#include <vector>

#include "progress_window.h"

// The user's pictures folder: what `xdg-user-dir PICTURES` prints when
// that is a folder other than the home folder, else $HOME/Pictures. Ends
// the process after a message when HOME is not set.
std::string pictures_folder();

// <pictures folder>/Mapper/World<world_number>, made with its missing
// parents; ends the process after a message when one cannot be made.
std::string make_world_folder(int world_number);

// The lines of the summary: the world, where its maps are, then each
// map's name, size in pixels and file size (read in folder), or for an
// entry of width 0 the web map's page, shortened to fit max_lines lines of
// columns characters.
std::vector<std::string> summary_lines(int world_number,
                                       const std::string &folder,
                                       const std::vector<WrittenMap> &maps,
                                       size_t columns, size_t max_lines);

// Cuts text at its line ends and then every columns characters.
std::vector<std::string> wrap_lines(const std::string &text, size_t columns);

// Starts xdg-open on folder without waiting for it; false with *why set
// when it could not be started.
bool open_folder(const std::string &folder, std::string *why);

// Shows the summary with "Open folder" and "Close" until Close (or Return,
// Escape, the close button).
void show_summary(int world_number, const std::string &folder,
                  const std::vector<WrittenMap> &maps);

// Shows an error message with "Close" until it is closed.
void show_error(const std::string &text);

#endif
