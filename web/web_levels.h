// What the page reads of a web map: its title, each level's size, grid,
// the region of its canvas it shows and which of its pyramid's tiles
// exist, as levels.js (loaded once) and updates.js (loaded every second
// while the map is followed) write them.
#ifndef WEB_WEB_LEVELS_H
#define WEB_WEB_LEVELS_H

#include <string>
#include <vector>

// WEB_TILE_SIZE and pyramid_depth.
#include "pyramid_cut.h"

// One level as the page needs it: the region of its canvas that the web
// map shows (width x height pixels from grid cell min_column, min_row) and
// its pyramid, k from 0 (one tile) to depth (full size).
struct WebLevel {
    int zoom = 0;
    std::string map_name;
    int width = 0, height = 0;
    int min_column = 0, min_row = 0, tile_size = 0;
    int depth = 0;
    std::vector<int> columns, rows;     // tiles a row and a column, per k
    std::vector<std::vector<char>> cut;  // per k, row by row: tile written
};

// The whole web map as its scripts describe it. run tells one run's map
// from another's; generation counts the changes published since.
struct WebMapInfo {
    std::string title;  // the page's, naming the world
    int background[3] = {0, 0, 0};
    std::string tile_ext;
    std::vector<WebLevel> levels;
    std::string run;
    unsigned long generation = 0;
    bool following = false;  // updates.js is kept up to date
};

// The web map as finish_web_map last published it.
extern WebMapInfo published_web_map;

// Levels whose shown region set_web_region can name.
const int WEB_REGION_SLOTS = 16;

// Shows of level zoom's canvas only grid columns first_column to
// last_column and rows first_row to last_row (the explored region),
// rather than the whole canvas; for the cuts that follow.
void set_web_region(int zoom, int first_column, int first_row, int last_column,
                    int last_row);

// What level zoom shows of canvas (cut_web_level's arguments, the format aside):
// fills level's name, grid origin and size in pixels, and the pixel
// offset of that region in the canvas into *x, *y.
void web_level_region(BITMAP *canvas, int zoom, const char *map_name,
                      int min_column, int min_row, int tile_size,
                      WebLevel *level, int *x, int *y);

// Sets depth, columns and rows from width and height, every tile unmarked.
void size_pyramid(WebLevel *level);

// The pyramid folder of level zoom ("z<zoom>") and a tile's path below
// the web map's folder.
std::string pyramid_name(int zoom);
std::string web_tile_path(int zoom, int k, int row, int column,
                          const std::string &ext);

// Sizes level's pyramid and marks the tiles found under its pyramid
// folder in folder_fd, the web map's folder (libvips leaves out those
// wholly background).
void note_cut_tiles(int folder_fd, const std::string &tile_ext, WebLevel *level);

// The levels' description's file name, beside the pyramids.
extern const char WEB_LEVELS_SCRIPT[];

// levels.js: "var MAPPER_WEB = {...};".
std::string levels_script(const WebMapInfo &info);

// updates.js: the same description, handed to the page's MAPPER_UPDATE
// with the tiles changed by generations after since_generation, each
// as [generation, zoom, k, row, column].
struct ChangedTile {
    unsigned long generation;
    int zoom, k, row, column;
};
std::string updates_script(const WebMapInfo &info, unsigned long since_generation,
                           const std::vector<ChangedTile> &changed);

#endif
