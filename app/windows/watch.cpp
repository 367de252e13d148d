// Windows: no web map, so no watch; the command line refuses --watch and
// nothing here is ever asked to follow a world.
#include "terminal_line.h"
#include "watch.h"
#include "watch_state.h"
#include "watch_window.h"

#include <cstdlib>

void show_explored_regions() {}

// No progress line: the console takes no escape sequences unasked.
void start_terminal_progress(const std::string &) {}
void terminal_tiles_placed(size_t, size_t) {}
void terminal_map_saving(const char *, bool) {}
void terminal_web_cut(const char *, bool) {}
void end_terminal_line() {}

int watch_world(int, const Options &) { std::abort(); }

bool watch_window_running() { return false; }
