// The tile list and grid bounds that the change list reader fills and the
// map compositor reads. Plain globals that live for the whole run.
#ifndef CHANGELIST_TILE_TYPES_H
#define CHANGELIST_TILE_TYPES_H

#include <cstdint>
#include <vector>

#include "path_size.h"

// Number of zoom slots in each bounds array; zoom levels are 0 to 9.
const int ZOOM_SLOTS = 16;
// Buffer size of tile_ext; it holds at most TILE_EXT_MAX characters.
const int TILE_EXT_SIZE = 32;
const int TILE_EXT_MAX = 3;

struct TileEntry {
    int32_t zoom;  // 0 to 9
    int32_t x;     // column, growing rightwards
    int32_t y;     // row, growing downwards
};

struct ZoomBoundsRecord {
    int32_t max_zoom;
    int32_t zoom_min_x[ZOOM_SLOTS];
    int32_t zoom_min_y[ZOOM_SLOTS];
    int32_t zoom_max_x[ZOOM_SLOTS];
    int32_t zoom_max_y[ZOOM_SLOTS];
};

extern std::vector<TileEntry> tile_list;
extern ZoomBoundsRecord ZoomBounds;
extern char tile_ext[TILE_EXT_SIZE];
extern char appdata_path[APP_DATA_PATH_BYTES];

#endif
