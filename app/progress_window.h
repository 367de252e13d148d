// The window while a world is mapped: its name, a bar of the tiles placed,
// the map being written with a strip that moves while the saver works, and
// the "Stop mapping?" question on Escape, q or the close button.
//
// The compose runs on the main thread and only stores counts through the
// calls below, which the program's observer of the compositor passes on
// (compose_listeners.h); one thread of our own draws the window and reads the
// keys. It is not the library's timer thread: that thread also runs the
// library's own timers (the dialogs' double-click check among them), which
// must not wait while we draw, and a callback there may not take locks that
// a thread installing a timer holds. Under X the library serialises its
// screen updates with a lock of its own. The compose changes the global
// colour depth around each tile load, so the thread never draws through
// it: it draws into a panel of the screen's own depth in colours made for
// that depth (screen_text.h), and asks its stop question in a dialog of
// its own rather than the library's alert, which saves the screen in a
// bitmap of the current depth. Nothing else draws on the screen until
// stop_progress_window has returned.
#ifndef APP_PROGRESS_WINDOW_H
#define APP_PROGRESS_WINDOW_H

#include <cstddef>
#include <string>
#include <vector>

struct BITMAP;

// What the window shows at one moment.
struct ProgressView {
    std::string world;       // "World1"
    size_t placed = 0;       // tiles placed of total listed ones
    size_t total = 0;        // 0 until the first tile is placed
    std::string saving;      // the map being written, empty before
    int width = 0, height = 0;
    double save_seconds = 0; // how long that map has been written
};

// What the run wrote, for the summary: a map image of width x height
// pixels, or the web map's page.
enum WrittenKind { WRITTEN_MAP_IMAGE, WRITTEN_WEB_PAGE };
struct WrittenMap {
    std::string name;
    int width = 0, height = 0;
    WrittenKind kind = WRITTEN_MAP_IMAGE;
};

// Draws view into bmp (the window's 320 x 160 client area or a copy).
void draw_progress(BITMAP *bmp, const ProgressView &view);

// Starts the drawing thread for world world_number; the window is
// redrawn at least four times a second.
void start_progress_window(int world_number);

// Stops the thread (after an open question is answered); does nothing
// when it is not running.
void stop_progress_window();

// The compose's progress: placed of total tiles are on the maps, a map of
// width x height starts to be written as name, or is written (saved) or
// has failed. Ignored while the window does not run; the first two wait
// while the stop question is open.
void progress_tiles_placed(size_t placed, size_t total);
void progress_map_save_began(const char *name, int width, int height);
void progress_map_save_ended(const char *name, bool saved);

// Whether the drawing thread runs, and so answers the close button.
bool progress_window_running();

// The maps written so far, in order.
const std::vector<WrittenMap> &written_maps();

// Redraws done so far and the processor time the drawing thread spent in
// all (redraws and input polls), counted when it stops.
void progress_window_cost(long *redraws, double *seconds);

#endif
