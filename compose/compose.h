// The compositor: one map per zoom level of a world, composed from its
// listed tiles and saved, and the observer through which the program
// watches it.
#ifndef COMPOSE_COMPOSE_H
#define COMPOSE_COMPOSE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image_format.h"

struct BITMAP;
struct TileEntry;

// Background colour of every map, shown where no tile is listed.
const int BACKGROUND_R = 227;
const int BACKGROUND_G = 226;
const int BACKGROUND_B = 221;

// What the compositor tells the one who watches it. Each function, when
// set, is called on the composing thread between steps with context, so
// one that waits pauses the run. Any may be null.
struct ComposeObserver {
    void *context;
    // placed of total listed tiles are on the maps.
    void (*tiles_placed)(void *context, size_t placed, size_t total);
    // The memory that reading a canvas of width x height takes beside it
    // while its map is saved, which the memory check counts.
    int64_t (*canvas_reader_bytes)(void *context, int64_t width,
                                   int64_t height);
    // Each level's finished canvas before its map is saved: the level, the
    // map's file name and format, the grid column and row of the canvas's
    // top-left corner and the tile size in pixels. The canvas may be read
    // meanwhile, never written, until map_canvas_release returns for it,
    // which is called before the canvas is destroyed.
    void (*map_canvas)(void *context, BITMAP *canvas, int zoom,
                       const char *map_name, ImageFormat format,
                       int min_column, int min_row, int tile_size);
    void (*map_canvas_release)(void *context, BITMAP *canvas);
    // A map of width x height pixels starts to be written as name.
    void (*map_save_began)(void *context, const char *name, int width,
                           int height);
    // The map name could not be saved, for the reason why: the maps come
    // first, so a reader that took room on the disk gives it back and
    // returns true, and the map is saved once more.
    bool (*map_save_failed)(void *context, const char *name, const char *why);
    // That map is written (saved) or has failed.
    void (*map_save_ended)(void *context, const char *name, bool saved);
};

// The compositor's one observer; null (the default) when nobody watches.
extern const ComposeObserver *compose_observer;

// Set before compose_maps to keep each level's canvas after its map is
// saved: compose_maps then leaves them in kept_map_canvases, one a level,
// for the caller to destroy.
extern bool keep_map_canvases;
extern std::vector<BITMAP *> kept_map_canvases;

// A canvas for the map of zoom level zoom at the present bounds and tile
// size, filled with the background; null when it cannot be made.
BITMAP *create_map_canvas(int zoom);

// Loads entry's tile and puts it on canvas (the canvas of its level at
// the present bounds) in place of what its cell held. False, with the
// canvas unchanged and *why set, when the tile cannot be loaded.
bool replace_listed_tile(int world_number, const TileEntry &entry,
                         BITMAP *canvas, std::string *why);

// Composes and saves one map per zoom level 0 to ZoomBounds.max_zoom of
// world world_number from tile_list, tile_ext and appdata_path. Ends the
// process with exit code 1 after a message on a fatal failure.
void compose_maps(int world_number);

#endif
