// One level's tile pyramid, cut by libvips from a canvas in memory: the
// tiles, the memory the cut takes, and why a cut failed.
#ifndef WEB_PYRAMID_CUT_H
#define WEB_PYRAMID_CUT_H

#include <allegro.h>

#include <cstdint>
#include <string>

// Edge of the web map's tiles in pixels.
const int WEB_TILE_SIZE = 256;

// Cuts canvas (24 or 32 bits, read only) into the folder target as
// <k>/<row>/<column>.<tile_ext> ("png" or "jpg"), leaving out the tiles
// wholly of the colour background (red, green, blue). Touches no shared
// state, so it can run beside the map's save. False with libvips's
// reason in *why on failure.
bool cut_pyramid(BITMAP *canvas, const std::string &target,
                 const std::string &tile_ext, const int background[3],
                 std::string *why);

// Makes the folders of the pyramid of a width x height canvas in folder
// pyramid of folder_fd (one a pyramid level, one a row of tiles in it),
// with the user's folder mode, before the cut: where the disk has no
// inode left for one, libvips would abort the process. The system's
// reason, or 0.
int make_pyramid_folders(int folder_fd, const std::string &pyramid, int width,
                         int height);

// Pyramid levels below the top one (the whole map in one tile) of a
// width x height canvas.
int pyramid_depth(int width, int height);

// The most memory a cut of a canvas of width x height pixels takes
// beside the canvas: libvips's start, its threads and the strips of
// every pyramid level it holds.
int64_t pyramid_cut_bytes(int64_t width, int64_t height);

// After a failed cut into folder_fd: the system's reason why a file
// cannot be written there now (a full disk, no inodes left, a quota),
// or 0 when one can.
int room_failure(int folder_fd);

#endif
