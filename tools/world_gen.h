// Writes sample worlds the way the game does: tile images under
// <root>/Orvandelquist/World<N>/Zoom<Z>/tile_<X>_<Y>.<ext> and their list
// in changed.txt.
#ifndef TOOLS_WORLD_GEN_H
#define TOOLS_WORLD_GEN_H

#include <string>
#include <vector>

#include "tile_types.h"

// The generator lists its tiles as the reader does.
using GenTile = TileEntry;

struct SampleWorld {
    std::string root;          // the application-data folder
    int number = 1;            // the world folder is World<number>
    std::string ext = "png";   // png, jpg or gif
    int tile_size = 64;
    bool windows_paths = true; // list lines with '\' and a drive letter
    bool crlf = false;         // CR LF line ends
    bool textured = false;     // terrain-like noise instead of flat colour
    std::vector<GenTile> tiles;
};

// Three zoom levels with negative coordinates and gaps.
std::vector<GenTile> sample_layout();
// cols x rows tiles at one zoom level, centred on column 0 and row 0.
std::vector<GenTile> grid_layout(int zoom, int cols, int rows);

// Path of one tile file of the world.
std::string tile_file(const SampleWorld &world, const GenTile &t);
// The changed.txt line that lists a tile (without its line end).
std::string change_line(const SampleWorld &world, const GenTile &t);

// Draws the tile image at 24 bits: a colour of its own, a frame, and its
// coordinates.
// Needs the graphics library started; the caller destroys the bitmap.
struct BITMAP *make_tile_bitmap(const SampleWorld &world, const GenTile &t);

// Writes every tile image and changed.txt; returns false on a failure.
bool write_world(const SampleWorld &world);

#endif
