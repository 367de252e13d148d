// Where the game keeps a world's files under the application-data folder:
//   <appdata>/Orvandelquist/World<N>/changed.txt
//   <appdata>/Orvandelquist/World<N>/Zoom<Z>/tile_<X>_<Y>.<ext>
// The only place that spells these names; the reader, the compositor, the
// sample-world generator and the tests all build their paths here.
#ifndef CHANGELIST_WORLD_LAYOUT_H
#define CHANGELIST_WORLD_LAYOUT_H

#include <string>

#include "shell_folder.h"
#include "tile_types.h"

// What a tile's file name starts with: tile_<X>_<Y>.
const char TILE_NAME_PREFIX[] = "tile_";
// What separates the column from the row in a tile's file name.
const char TILE_NAME_SEPARATOR = '_';

// The game's folder under appdata, which holds its worlds.
std::string game_folder_path(const std::string &appdata,
                             const char *separator = PATH_SEPARATOR);

// The folder of world world_number under appdata. Numbers are in plain
// decimal; separator goes between the parts (the game's own lists use
// '\').
std::string world_folder_path(const std::string &appdata, int world_number,
                              const char *separator = PATH_SEPARATOR);

// The folder of the tiles of one zoom level of that world.
std::string zoom_folder_path(const std::string &appdata, int world_number,
                             int zoom, const char *separator = PATH_SEPARATOR);

// The world's change list.
std::string change_list_path(const std::string &appdata, int world_number,
                             const char *separator = PATH_SEPARATOR);

// The file of tile t of the world, whose extension is ext.
std::string tile_path(const std::string &appdata, int world_number,
                      const TileEntry &t, const std::string &ext,
                      const char *separator = PATH_SEPARATOR);

#endif
