// The listed tiles before any map bitmap exists: which entries name
// distinct tiles, the check of each tile's file and header, and the
// messages that end a run over a tile.
#ifndef COMPOSE_TILE_CHECK_H
#define COMPOSE_TILE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "tile_types.h"

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

// Warns on standard error about each tile that is not a square of
// tile_size: ten lines at most, then a count of the others.
void warn_tile_sizes(const std::vector<CheckedTile> &tiles, int32_t tile_size);

// Opens the tile at path and reads its header, then, when whole, walks a
// JPEG's structure; returns the descriptor, positioned after what was
// read, or -1 with *why. Refuses what check_listed_tiles refuses: a file
// that is not regular, a header that does not fit the graphics library,
// a file larger than its image can need.
int open_checked_tile(const std::string &path, bool whole, int64_t *w,
                      int64_t *h, std::string *why);

// For every entry of list, true when it is the first entry of its cell
// (zoom, x, y). Every entry of a cell names the same file, so its tile is
// checked, decoded and placed once, at that entry.
std::vector<bool> entries_to_decode(const std::vector<TileEntry> &list);

#endif
