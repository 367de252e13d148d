// The pixels of single web tiles of one level, equal to those of libvips's
// full cut (its Google layout): each pyramid level halves the one below
// by the rounded mean of 2 x 2 pixels, an odd edge is first doubled, and
// beyond the image is the background. The levels from an eighth of the
// full size upwards are kept in memory (a 48th of the canvas's pixels),
// so a tile at any level costs at most the 1024 x 1024 pixels of canvas
// or the 512 x 512 of a kept level below it.
#ifndef WEB_TILE_PYRAMID_H
#define WEB_TILE_PYRAMID_H

#include <cstdint>
#include <vector>

struct BITMAP;

// The full size, its half and its quarter are computed from the canvas
// when a tile needs them; the levels above are kept.
const int COMPUTED_LEVELS = 3;

// One pyramid level kept in memory: RGB, stride pad_width, with the
// doubled edge column and row stored.
struct PyramidPlane {
    int width = 0, height = 0;
    int pad_width = 0, pad_height = 0;
    std::vector<uint8_t> pixels;
};

// The web map of one level: the region of canvas it shows and the kept
// levels (plane[k] for k up to depth - COMPUTED_LEVELS).
struct TilePyramid {
    BITMAP *canvas = nullptr;
    int x = 0, y = 0, width = 0, height = 0;
    int depth = 0;
    uint8_t background[3] = {0, 0, 0};
    std::vector<PyramidPlane> plane;
};

// A rectangle of pixels at one pyramid level, right and bottom excluded.
struct PixelRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return right <= left || bottom <= top; }
};

// Sets p up for the region of canvas (24 or 32 bits) and computes the
// kept levels. False when the canvas's layout is not one it reads.
bool build_tile_pyramid(TilePyramid *p, BITMAP *canvas, int x, int y, int width,
                        int height, const uint8_t background[3]);

// After the pixels in changed (region coordinates) changed on the canvas:
// brings the kept levels up to date.
void update_tile_pyramid(TilePyramid *p, const PixelRect &changed);

// The rectangle at level k that changed pixels at full size cover.
PixelRect rect_at_level(const TilePyramid &p, const PixelRect &changed, int k);

// The RGB pixels of web tile (column, row) at level k into out
// (WEB_TILE_SIZE squared, 3 bytes a pixel); true when all of them are
// the background.
bool tile_pixels(const TilePyramid &p, int k, int column, int row,
                 std::vector<uint8_t> *out);

#endif
