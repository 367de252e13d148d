// The reader of a world's changed.txt: the tiles it lists, their grid
// bounds and extension, into the run's globals of tile_types.h.
#ifndef CHANGELIST_CHANGE_LIST_H
#define CHANGELIST_CHANGE_LIST_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "tile_types.h"

// Where the reader stopped in the list: after the last complete line, the
// number of lines read, and the file (a list replaced by another file, or
// cut short, is read again from the start by a full run).
struct ListPosition {
    off_t offset = 0;
    int line = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};
extern ListPosition change_list_read;

// Reads the change list of world world_number (1 to 5) into tile_list,
// ZoomBounds and tile_ext, and fills appdata_path (data_folder.h). Ends the process with
// exit code 1 after a message when the list cannot be opened.
void read_change_list(int world_number);

enum AppendResult {
    LIST_READ,      // the new complete lines, if any, were read
    LIST_REPLACED,  // another file, or a shorter one: read it from the start
    LIST_GONE       // it cannot be opened; *why says why
};

// Reads the complete lines appended to world world_number's list since
// change_list_read, as read_change_list reads lines (warnings numbered
// on), into tile_list, ZoomBounds and *added.
AppendResult read_appended_lines(int world_number, std::vector<TileEntry> *added,
                                 std::string *why);

// Widens ZoomBounds so that they include entry.
void widen_bounds(const TileEntry &entry);

#endif
