// What --watch keeps between batches: each level's canvas and bounds,
// the batch being gathered, the tiles to try again, the maps not saved
// yet; and what the player is shown of it.
#ifndef APP_WATCH_STATE_H
#define APP_WATCH_STATE_H

#include <vector>

#include "tile_types.h"

// Tiles a half-written tile is tried, and the wait between tries.
const int TILE_TRIES = 8;
const double TILE_RETRY_SECONDS = 0.25;

// Columns and rows of a level, last ones included.
struct GridBox {
    int min_x = 0, min_y = 0, max_x = 0, max_y = 0;
};

// Quiet time that ends a batch, and the longest a batch waits for it.
const double WATCH_BATCH_SECONDS = 0.2;
const double WATCH_BATCH_MAX_SECONDS = 1.0;

// Seconds on a clock that only goes forward.
double watch_clock();

// The columns and rows that level zoom's listed tiles span; false when
// none is listed.
bool explored_box(int zoom, GridBox *box);

// Takes over the canvases that compose_maps kept and follows them with
// the web map that was just published.
void start_watch_state(int world_number, int save_after_seconds);

// Lines just read: their tiles join the batch.
void add_to_batch(const std::vector<TileEntry> &entries);

// When process_due next has work (a batch, a retry, the maps' save), or
// -1 when nothing waits.
double next_due();

// Places the batch once it is complete, the tiles due to be tried again,
// and saves the maps once the list has been quiet long enough; with
// everything, all of them now (tiles that still fail are skipped).
void process_due(bool everything);

// Saves every map that changed since it was last saved.
void save_changed_maps();

// The list was replaced or cut short: everything again from it, once it
// has been quiet for WATCH_BATCH_SECONDS and lists a tile (a game that
// writes it anew may be seen between the cut and the first line).
void ask_full_run();
bool full_run_asked();

// Readable once the player asked the window to stop; -1 without one.
int watch_stop_fd();

// Tells the web map to show of each level only its listed tiles' columns
// and rows (the maps still reach back to column and row 0).
void show_explored_regions();

#endif
