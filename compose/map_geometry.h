// What each map is: its tile size, name, depth and size in pixels, and
// the check that all of them fit their formats and the memory available.
#ifndef COMPOSE_MAP_GEOMETRY_H
#define COMPOSE_MAP_GEOMETRY_H

#include <cstdint>
#include <string>

#include "colour_depth.h"

// Colour depth of every map canvas, whatever the desktop's: 8 bits a
// component, the depth at which maps are written.
const int MAP_DEPTH = TRUECOLOR_24;
const int MAP_BYTES_PER_PIXEL = MAP_DEPTH / 8;

// Edge length in pixels of every tile, from the width of the first tile.
extern int32_t tile_size;

// The file name of the map of zoom level zoom: map_zoom_<zoom>.<tile_ext>.
std::string map_name(int zoom);

// Width and height in pixels of the map of zoom level zoom.
void map_size(int zoom, int64_t *width, int64_t *height);

// Ends the process with "Error creating <map name>" when a map of levels
// 0 to max_zoom is wider or higher than its format can be (65535 pixels
// for JPEG and GIF, libpng's limits for PNG), and with "Error creating
// map bitmap." when one at bytes_per_pixel is larger than the library
// can hold, or all of them together, with what the compositor's observer
// says a reader of a canvas takes (compose.h), larger than the memory
// available.
void check_map_memory(int bytes_per_pixel);

// Reports that the bitmap of zoom level zoom could not be created and
// ends the process with exit code 1.
[[noreturn]] void map_bitmap_failed(int zoom, int bytes_per_pixel);

#endif
