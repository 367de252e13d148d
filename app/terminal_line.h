// The one-line progress on standard error while a run works on a
// terminal: tiles placed of the total, the map being saved, the web tiles
// being cut, and during --watch the counts of the watch. Left out when
// standard error is not a terminal, so logs and scripts see what they saw
// before. Log lines on standard output and messages on standard error
// appear above it: the line is erased before each of them and drawn again
// after.
#ifndef APP_TERMINAL_LINE_H
#define APP_TERMINAL_LINE_H

#include <cstddef>
#include <string>

// A full run of world_name's begins; the compositor's observer then
// tells the line what it hears: tiles placed of the total, a map's save
// begun or ended, a level's web tiles being cut or done (by its map's
// name).
void start_terminal_progress(const std::string &world_name);
void terminal_tiles_placed(size_t placed, size_t total);
void terminal_map_saving(const char *name, bool began);
void terminal_web_cut(const char *map_name, bool began);

// Shows text as the line, in place of what it showed.
void show_terminal_line(const std::string &text);

// Erases the line for good (until the next show_terminal_line).
void end_terminal_line();

#endif
