#include "tile_types.h"

std::vector<TileEntry> tile_list;
ZoomBoundsRecord ZoomBounds;
char tile_ext[TILE_EXT_SIZE];
char appdata_path[APP_DATA_PATH_BYTES];
