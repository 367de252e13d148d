// The reader of a world's changed.txt: the tiles it lists, their grid
// bounds and extension, into the run's globals of tile_types.h.
#ifndef CHANGELIST_CHANGE_LIST_H
#define CHANGELIST_CHANGE_LIST_H

#include "tile_types.h"

// Reads the change list of world world_number (1 to 5) into tile_list,
// ZoomBounds and tile_ext, and fills appdata_path (data_folder.h). Ends the process with
// exit code 1 after a message when the list cannot be opened.
void read_change_list(int world_number);

// Widens ZoomBounds so that they include entry.
void widen_bounds(const TileEntry &entry);

#endif
