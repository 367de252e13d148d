// The one-line progress on standard error while a run works on a
// terminal: tiles placed of the total, the map being saved, the web tiles
// being cut, and during --watch the counts of the watch. Left out when
// standard error is not a terminal, so logs and scripts see what they saw
// before. Log lines on standard output and messages on standard error
// appear above it: the line is erased before each of them and drawn again
// after.
#ifndef APP_TERMINAL_LINE_H
#define APP_TERMINAL_LINE_H

#include <string>

// Follows the compositor's progress for world_name's full run from now on
// (after the progress window has set its hooks, which are called first).
void start_terminal_progress(const std::string &world_name);

// Shows text as the line, in place of what it showed.
void show_terminal_line(const std::string &text);

// Erases the line for good (until the next show_terminal_line).
void end_terminal_line();

#endif
