// The compositor: one map per zoom level of a world, composed from its
// listed tiles and saved, and the hooks through which the program
// watches it.
#ifndef COMPOSE_COMPOSE_H
#define COMPOSE_COMPOSE_H

#include <cstddef>
#include <string>
#include <vector>

struct BITMAP;
struct TileEntry;

// Background colour of every map, shown where no tile is listed.
const int BACKGROUND_R = 227;
const int BACKGROUND_G = 226;
const int BACKGROUND_B = 221;

// Progress for a front end, called on the composing thread when set; null
// by default. Each runs between steps, so one that waits pauses the run.
// placed of total listed tiles are on the maps:
extern void (*tiles_placed_hook)(size_t placed, size_t total);
// A map of width x height pixels starts to be written as name:
extern void (*map_save_began_hook)(const char *name, int width, int height);
// That map is written (saved) or has failed:
extern void (*map_save_ended_hook)(const char *name, bool saved);

// Called, when set, with each level's finished canvas before its map is
// saved: the level, the map's file name, the grid column and row of the
// canvas's top-left corner and the tile size in pixels. The canvas may be
// read meanwhile, never written, until map_canvas_release_hook returns
// for it, which is called before the canvas is destroyed. Null unless the
// program sets them.
extern void (*map_canvas_hook)(BITMAP *canvas, int zoom, const char *map_name,
                               int min_column, int min_row, int tile_size);
extern void (*map_canvas_release_hook)(BITMAP *canvas);
// Called, when set, when the map name could not be saved, with the
// reason: the maps come first, so a reader that took room on the disk
// gives it back and returns true, and the map is saved once more.
extern bool (*map_save_failed_hook)(const char *name, const char *why);

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
