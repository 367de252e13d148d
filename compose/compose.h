#ifndef COMPOSE_COMPOSE_H
#define COMPOSE_COMPOSE_H

#include <cstdint>

// Edge length in pixels of every tile, from the width of the first tile.
extern int32_t tile_size;

// Background colour of every map, shown where no tile is listed.
const int BACKGROUND_R = 227;
const int BACKGROUND_G = 226;
const int BACKGROUND_B = 221;

// zlib level at which PNG maps are written (see the README's performance
// notes for how it was chosen).
const int PNG_MAP_COMPRESSION = 1;

// Sets the PNG codec up for maps: tiles load with their stored pixel values
// (no gamma correction, so maps keep the tiles' colours exactly) and maps
// are written at PNG_MAP_COMPRESSION. Call after loadpng_init.
void configure_png_codec();

// Composes and saves one map per zoom level 0 to ZoomBounds.max_zoom of
// world world_number from tile_list, tile_ext and appdata_path. Ends the
// process with exit code 1 after a message on a fatal failure.
void compose_maps(int world_number);

// True when a bitmap of width x height pixels at bytes_per_pixel fits
// what the graphics library can allocate (it sizes bitmaps in int).
bool canvas_fits(int64_t width, int64_t height, int bytes_per_pixel);

#endif
