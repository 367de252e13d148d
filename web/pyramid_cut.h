// One level's tile pyramid, cut by libvips from a canvas in memory: the
// tiles, the memory the cut takes, and why a cut failed.
#ifndef WEB_PYRAMID_CUT_H
#define WEB_PYRAMID_CUT_H

#include <allegro.h>

#include <cstdint>
#include <string>

// Edge of the web map's tiles in pixels.
const int WEB_TILE_SIZE = 256;
const int JPEG_TILE_QUALITY = 75;
// As the PNG maps: level 1 costs a fraction of the default's time.
const int PNG_TILE_COMPRESSION = 1;

// The part of a canvas (24 or 32 bits, read only) a level's web map
// shows: width x height pixels from (x, y).
struct CanvasRegion {
    BITMAP *canvas = nullptr;
    int x = 0, y = 0, width = 0, height = 0;
};

// Cuts region into the folder pyramid of folder_fd, which target names
// for libvips (through /proc from another thread, or the name itself from
// inside the folder), as <k>/<row>/<column>.<tile_ext> ("png" or "jpg"),
// leaving out the tiles wholly of the colour background (red, green,
// blue). The folders of the pyramid are made first, with the user's
// folder mode: where the disk has no inode left for one, libvips would
// abort the process. Touches no shared state, so it can run beside the
// map's save. False on failure, with the system's reason in *why where
// the disk has no room (a full disk, no inodes left, a quota), which
// libvips's often lacks, and otherwise libvips's.
bool cut_pyramid(const CanvasRegion &region, int folder_fd,
                 const std::string &pyramid, const std::string &target,
                 const std::string &tile_ext, const int background[3],
                 std::string *why);

// The file suffix, with libvips's save options, of tiles of tile_ext.
std::string tile_save_suffix(const std::string &tile_ext);

// Pyramid levels below the top one (the whole map in one tile) of a
// width x height canvas.
int pyramid_depth(int width, int height);

// The most memory a cut of a canvas of width x height pixels takes
// beside the canvas: libvips's start, its threads and the strips of
// every pyramid level it holds.
int64_t pyramid_cut_bytes(int64_t width, int64_t height);

#endif
