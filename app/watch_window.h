// The window while --watch follows a world: "Watching World1: 12 tiles
// since the start, last 3 s ago" and a Stop button. Stop, s, Escape and
// the window's close button end the watch: the maps are saved and the
// program exits with 0.
//
// One thread of ours draws it and reads the input, as the progress window
// does; it draws only on the screen, with colours made at the screen's
// own depth (never the library's current depth, which the tile loader
// changes meanwhile), and the watch only stores counts under its lock.
#ifndef APP_WATCH_WINDOW_H
#define APP_WATCH_WINDOW_H

#include <allegro.h>

#include <cstddef>
#include <string>

// Draws the window's content into bmp (320 x 160): tiles placed since
// the start and seconds since the last (negative: none yet).
void draw_watch_window(BITMAP *bmp, const std::string &world, size_t tiles,
                       long seconds_ago);

// Starts the thread when the program has a window; does nothing without.
void start_watch_window(int world_number);

// Tiles placed since the start, the last of them now.
void watch_window_tiles(size_t tiles);

// Readable once the player asked to stop; -1 without a window.
int watch_window_stop_fd();

// Whether the window runs, and so answers the close button.
bool watch_window_running();

// Stops the thread.
void stop_watch_window();

#endif
