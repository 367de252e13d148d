// --watch: after the full run, the program keeps each level's canvas and
// follows the world's changed.txt as the game appends to it. Lines that
// come within WATCH_BATCH_SECONDS of each other are one batch: their
// tiles are placed on their canvases and only the web tiles they touch
// are cut again; a tile beyond its level's canvas composes that level
// again, a tile beyond its explored region cuts its web level again
// whole, a list replaced or cut short starts a full run. The maps are
// saved once the list has been quiet for --save-after seconds, and before
// the program ends. Nothing runs while nothing changes: the loop sleeps
// in poll() on inotify, the deferred exit signals and the window's Stop.
#ifndef APP_WATCH_H
#define APP_WATCH_H

#include "options.h"

// Follows world world_number until stopped; compose_maps must have run
// with keep_map_canvases set and the web map been published. Returns the
// exit code (0 after the window's Stop, 128 + N after signal N); fatal
// failures end the process with exit code 1, the maps already saved kept.
int watch_world(int world_number, const Options &options);

#endif
