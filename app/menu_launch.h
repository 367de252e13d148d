// A run started from the desktop menu, without a terminal: the maps go
// into the user's pictures folder, one folder per world, and the window
// stays at the end to say where they are and what was written, or what
// went wrong.
#ifndef APP_MENU_LAUNCH_H
#define APP_MENU_LAUNCH_H

#include <string>
#include <vector>

#include "folder_opener.h"
#include "pictures_folder.h"
#include "progress_window.h"
#include "screen_text.h"

// The lines of the summary: the world, where its maps are, then each
// map's name, size in pixels and file size (read in folder), or for an
// entry of width 0 the web map's page, shortened to fit max_lines lines of
// columns characters: the folder takes at most half of them, giving up
// its middle. Text is as showable_text makes it.
std::vector<std::string> summary_lines(int world_number,
                                       const std::string &folder,
                                       const std::vector<WrittenMap> &maps,
                                       size_t columns, size_t max_lines);

// Shows the summary with "Open folder" and "Close" until Close (or Return,
// Escape, the close button).
void show_summary(int world_number, const std::string &folder,
                  const std::vector<WrittenMap> &maps);

// Shows an error message with "Close" until it is closed.
void show_error(const std::string &text);

#endif
