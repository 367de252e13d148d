// Tiles as the maps need them: loaded through the file-type registry at
// the depth of their own file, so that no colour makes a trip through the
// desktop's depth; placed on a 24-bit map over its background with their
// transparency; and the choice of which listed entries are decoded.
#ifndef COMPOSE_TILE_PLACE_H
#define COMPOSE_TILE_PLACE_H

#include <allegro.h>

#include <string>
#include <vector>

#include "tile_types.h"

// Colour depth of every map canvas, whatever the desktop's: 8 bits a
// component, the depth at which maps are written.
const int MAP_DEPTH = 24;

// Depth of a loaded tile whose pixels carry alpha (0 transparent, 255
// opaque).
const int TILE_ALPHA_DEPTH = 32;

// Fills a 24-bit memory bitmap with colour (at that depth): one row
// through the library, the others copied from it, which is several times
// faster than the library's three-byte fill on a map of a hundred
// megabytes.
void fill_map_canvas(BITMAP *canvas, int colour);

// Loads the tile at path through the file-type registry. The result is a
// 24-bit bitmap of the tile's exact colours, or a 32-bit one whose alpha
// bytes say how opaque each pixel is (PNG tiles with an alpha channel or
// tRNS chunk, GIF tiles, where pixels that are transparent or that no
// frame covers have alpha 0). Null when the registry cannot load it.
// The current colour depth and colour conversion are as before. fd, when
// not -1, holds the same file open: what else is read of the tile (an
// 8-bit tile's exact palette) is read from it, not by path.
BITMAP *load_map_tile(const std::string &path, int fd = -1);

// Puts the top-left size x size square of tile (as load_map_tile gives
// it) onto the 24-bit canvas with its top-left corner at (dx, dy):
// opaque pixels exactly as stored, fully transparent ones leave the
// canvas as it is, partly transparent ones blended over it by alpha.
void place_map_tile(BITMAP *tile, BITMAP *canvas, int dx, int dy, int size);

// For every entry of list, true when it is the first entry of its cell
// (zoom, x, y). Every entry of a cell names the same file, so its tile is
// decoded and placed once, at that entry.
std::vector<bool> entries_to_decode(const std::vector<TileEntry> &list);

#endif
