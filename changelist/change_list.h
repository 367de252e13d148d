#ifndef CHANGELIST_CHANGE_LIST_H
#define CHANGELIST_CHANGE_LIST_H

#include "tile_types.h"

// Reads the change list of world world_number (1 to 5) into tile_list,
// ZoomBounds and tile_ext, and fills appdata_path. Ends the process with
// exit code 1 after a message when the list cannot be opened.
void read_change_list(int world_number);

// Result of parsing one line of a change list.
enum LineParse {
    LINE_OK,     // entry and extension are filled
    LINE_EMPTY,  // empty line, skipped silently
    LINE_BAD     // skipped with a warning; reason tells why
};

// Parses one line (without its newline) into entry and, when ext is not
// null, the line's extension (at most TILE_EXT_MAX characters).
LineParse parse_change_line(const char *line, TileEntry *entry, char *ext,
                            const char **reason);

// Widens ZoomBounds so that they include entry.
void widen_bounds(const TileEntry &entry);

#endif
