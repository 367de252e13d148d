// Checks of the listed tiles and of the maps' memory, made before any map
// bitmap exists, and the loading of one checked tile.
#ifndef COMPOSE_TILE_CHECK_H
#define COMPOSE_TILE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "memory_available.h"
#include "tile_types.h"

struct BITMAP;

// Widest pixel that a codec may load a tile into.
const int MAX_TILE_BYTES_PER_PIXEL = 4;

// One distinct listed tile and the size its header declares.
struct CheckedTile {
    TileEntry entry;
    std::string path;
    int64_t width, height;
};

// The path of listed tile t of world world_number: in appdata_path, with
// tile_ext.
std::string listed_tile_path(int world_number, const TileEntry &t);

// Checks the list before any tile is loaded: at least one tile listed,
// an extension of png, jpg or gif, and every distinct tile a regular file
// whose header declares a size the library can hold. Ends the process
// with exit code 1 after a message at the first failure ("Error loading
// sample bitmap." for the first entry). Returns the distinct tiles in
// list order.
std::vector<CheckedTile> check_listed_tiles(int world_number);

// End the process with exit code 1 after "Error loading sample bitmap."
// and what (the first listed tile's path and why it failed), or after
// "Error loading" with path and why for any other tile.
[[noreturn]] void sample_tile_failed(const std::string &what);
[[noreturn]] void tile_failed(const std::string &path, const std::string &why);

// Loads the tile at path through the file-type registry, checked as
// above, so that the codec reads the very file that was checked. Returns
// null with *why set when the check or the codec fails.
BITMAP *load_checked_tile(const std::string &path, std::string *why);

// Ends loading through load_checked_tile: releases what it holds. Makes
// only calls that a signal handler may make.
void finish_tile_loads();

// Warns on standard error about each tile that is not a square of
// tile_size: ten lines at most, then a count of the others.
void warn_tile_sizes(const std::vector<CheckedTile> &tiles, int32_t tile_size);

// The file name of the map of zoom level zoom: map_zoom_<zoom>.<tile_ext>.
std::string map_name(int zoom);

// Width and height in pixels of the map of zoom level zoom.
void map_size(int zoom, int64_t *width, int64_t *height);

// Ends the process with "Error creating <map name>" when a map of levels
// 0 to max_zoom is wider or higher than its format can be (65535 pixels
// for JPEG and GIF, libpng's limits for PNG), and with "Error creating
// map bitmap." when one at bytes_per_pixel is larger than the library
// can hold, or all of them together larger than the memory available.
void check_map_memory(int bytes_per_pixel);

// Reports that the bitmap of zoom level zoom could not be created and
// ends the process with exit code 1.
[[noreturn]] void map_bitmap_failed(int zoom, int bytes_per_pixel);

#endif
