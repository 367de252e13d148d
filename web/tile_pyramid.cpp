#include "tile_pyramid.h"

#include <allegro.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "pyramid_cut.h"

namespace {

const int CHANNELS = 3;
// Rows of a kept level computed at a time while it is built: the strip
// of canvas below it (eight times as many rows) stays a few megabytes.
const int BUILD_STRIP_ROWS = 16;

int level_width(const TilePyramid &p, int k)
{
    int w = p.width;
    for (int i = p.depth; i > k; --i)
        w = (w + 1) / 2;
    return w;
}

int level_height(const TilePyramid &p, int k)
{
    int h = p.height;
    for (int i = p.depth; i > k; --i)
        h = (h + 1) / 2;
    return h;
}

PixelRect intersect(const PixelRect &a, int width, int height)
{
    PixelRect r;
    r.left = std::max(a.left, 0);
    r.top = std::max(a.top, 0);
    r.right = std::min(a.right, width);
    r.bottom = std::min(a.bottom, height);
    return r;
}

bool same_rect(const PixelRect &a, const PixelRect &b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right &&
           a.bottom == b.bottom;
}

size_t area(const PixelRect &r)
{
    return static_cast<size_t>(r.right - r.left) * (r.bottom - r.top);
}

PixelRect doubled(const PixelRect &r)
{
    PixelRect d;
    d.left = r.left * 2;
    d.top = r.top * 2;
    d.right = r.right * 2;
    d.bottom = r.bottom * 2;
    return d;
}

// Byte of red, green and blue within a canvas pixel (little-endian).
bool canvas_channels(BITMAP *canvas, int *bytes, int index[CHANNELS])
{
    const int depth = bitmap_color_depth(canvas);
    if (depth == 24) {
        index[0] = _rgb_r_shift_24 / 8;
        index[1] = _rgb_g_shift_24 / 8;
        index[2] = _rgb_b_shift_24 / 8;
    } else if (depth == 32) {
        index[0] = _rgb_r_shift_32 / 8;
        index[1] = _rgb_g_shift_32 / 8;
        index[2] = _rgb_b_shift_32 / 8;
    } else {
        return false;
    }
    *bytes = depth / 8;
    return true;
}

void fill_background(const TilePyramid &p, uint8_t *out, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i)
        std::memcpy(out + i * CHANNELS, p.background, CHANNELS);
}

void level_rect(const TilePyramid &p, int k, const PixelRect &r, bool pad,
                uint8_t *out);

// The real pixels of real (within level k) computed from level k + 1.
void shrink_into(const TilePyramid &p, int k, const PixelRect &real,
                 const PixelRect &r, uint8_t *out)
{
    const PixelRect src = doubled(real);
    const int sw = src.right - src.left;
    // Left uninitialised: level_rect writes every byte.
    std::unique_ptr<uint8_t[]> below(
        new uint8_t[static_cast<size_t>(sw) * (src.bottom - src.top) * CHANNELS]);
    level_rect(p, k + 1, src, true, below.get());
    const int rw = r.right - r.left;
    for (int y = real.top; y < real.bottom; ++y) {
        const uint8_t *a = below.get() +
                           static_cast<size_t>(2 * (y - real.top)) * sw * CHANNELS;
        const uint8_t *b = a + static_cast<size_t>(sw) * CHANNELS;
        uint8_t *q = out + (static_cast<size_t>(y - r.top) * rw +
                            (real.left - r.left)) * CHANNELS;
        for (int x = real.left; x < real.right; ++x) {
            for (int c = 0; c < CHANNELS; ++c)
                q[c] = static_cast<uint8_t>(
                    (a[c] + a[c + CHANNELS] + b[c] + b[c + CHANNELS] + 2) >> 2);
            a += 2 * CHANNELS;
            b += 2 * CHANNELS;
            q += CHANNELS;
        }
    }
}

void copy_canvas(const TilePyramid &p, const PixelRect &real, const PixelRect &r,
                 uint8_t *out)
{
    int bytes = 0, index[CHANNELS];
    canvas_channels(p.canvas, &bytes, index);
    const int rw = r.right - r.left;
    for (int y = real.top; y < real.bottom; ++y) {
        const uint8_t *s = p.canvas->line[p.y + y] +
                           static_cast<size_t>(p.x + real.left) * bytes;
        uint8_t *q = out + (static_cast<size_t>(y - r.top) * rw +
                            (real.left - r.left)) * CHANNELS;
        for (int x = real.left; x < real.right; ++x, s += bytes, q += CHANNELS)
            for (int c = 0; c < CHANNELS; ++c)
                q[c] = s[index[c]];
    }
}

void copy_plane(const PyramidPlane &pl, const PixelRect &part, const PixelRect &r,
                uint8_t *out)
{
    const int rw = r.right - r.left;
    const size_t row = static_cast<size_t>(part.right - part.left) * CHANNELS;
    for (int y = part.top; y < part.bottom; ++y)
        std::memcpy(out + (static_cast<size_t>(y - r.top) * rw +
                           (part.left - r.left)) * CHANNELS,
                    pl.pixels.data() + (static_cast<size_t>(y) * pl.pad_width +
                                        part.left) * CHANNELS,
                    row);
}

// An odd level is doubled at its edge before it is halved.
void copy_edges(int w, int h, const PixelRect &r, uint8_t *out)
{
    const int rw = r.right - r.left;
    auto at = [&](int x, int y) {
        return out + (static_cast<size_t>(y - r.top) * rw + (x - r.left)) * CHANNELS;
    };
    if ((w & 1) && r.left < w && w < r.right)
        for (int y = r.top; y < std::min(r.bottom, h); ++y)
            std::memcpy(at(w, y), at(w - 1, y), CHANNELS);
    if ((h & 1) && r.top < h && h < r.bottom)
        for (int x = r.left; x < std::min(r.right, w + (w & 1)); ++x)
            std::memcpy(at(x, h), at(x, h - 1), CHANNELS);
}

// Level k's pixels in r (background beyond the image; with pad, the
// doubled odd edge too) into out, (r's width x height) RGB.
void level_rect(const TilePyramid &p, int k, const PixelRect &r, bool pad,
                uint8_t *out)
{
    const int w = level_width(p, k), h = level_height(p, k);
    const PixelRect real = intersect(r, w, h);
    if (k <= p.depth - COMPUTED_LEVELS) {
        const PyramidPlane &pl = p.plane[k];
        const PixelRect part = pad ? intersect(r, pl.pad_width, pl.pad_height) : real;
        if (!same_rect(part, r))
            fill_background(p, out, area(r));
        if (!part.empty())
            copy_plane(pl, part, r, out);
        return;
    }
    // Beyond the image, and the doubled edge until copy_edges writes it.
    if (!same_rect(real, r))
        fill_background(p, out, area(r));
    if (!real.empty()) {
        if (k == p.depth)
            copy_canvas(p, real, r, out);
        else
            shrink_into(p, k, real, r, out);
    }
    if (pad)
        copy_edges(w, h, r, out);
}

// Computes rows of kept level k from the level below, into its plane.
void compute_plane_rect(TilePyramid *p, int k, const PixelRect &r)
{
    PyramidPlane &pl = p->plane[k];
    const PixelRect real = intersect(r, pl.width, pl.height);
    if (real.empty())
        return;
    std::vector<uint8_t> buf(static_cast<size_t>(real.right - real.left) *
                             (real.bottom - real.top) * CHANNELS);
    shrink_into(*p, k, real, real, buf.data());
    const size_t row = static_cast<size_t>(real.right - real.left) * CHANNELS;
    for (int y = real.top; y < real.bottom; ++y)
        std::memcpy(pl.pixels.data() +
                        (static_cast<size_t>(y) * pl.pad_width + real.left) *
                            CHANNELS,
                    buf.data() + static_cast<size_t>(y - real.top) * row, row);
    // The doubled edge follows the pixels it doubles.
    auto at = [&](int x, int y) {
        return pl.pixels.data() + (static_cast<size_t>(y) * pl.pad_width + x) * CHANNELS;
    };
    if ((pl.width & 1) && real.right == pl.width)
        for (int y = real.top; y < real.bottom; ++y)
            std::memcpy(at(pl.width, y), at(pl.width - 1, y), CHANNELS);
    if ((pl.height & 1) && real.bottom == pl.height)
        std::memcpy(at(0, pl.height), at(0, pl.height - 1),
                    static_cast<size_t>(pl.pad_width) * CHANNELS);
}

}  // namespace

bool build_tile_pyramid(TilePyramid *p, BITMAP *canvas, int x, int y, int width,
                        int height, const uint8_t background[3])
{
    int bytes = 0, index[CHANNELS];
    if (!canvas_channels(canvas, &bytes, index))
        return false;
    p->canvas = canvas;
    p->x = x;
    p->y = y;
    p->width = width;
    p->height = height;
    std::memcpy(p->background, background, CHANNELS);
    p->depth = pyramid_depth(width, height);
    p->plane.assign(std::max(p->depth - COMPUTED_LEVELS + 1, 0), PyramidPlane());
    for (int k = p->depth - COMPUTED_LEVELS; k >= 0; --k) {
        PyramidPlane &pl = p->plane[k];
        pl.width = level_width(*p, k);
        pl.height = level_height(*p, k);
        pl.pad_width = pl.width + (pl.width & 1);
        pl.pad_height = pl.height + (pl.height & 1);
        pl.pixels.assign(static_cast<size_t>(pl.pad_width) * pl.pad_height *
                             CHANNELS, 0);
        for (int top = 0; top < pl.height; top += BUILD_STRIP_ROWS) {
            PixelRect strip;
            strip.top = top;
            strip.right = pl.width;
            strip.bottom = std::min(pl.height, top + BUILD_STRIP_ROWS);
            compute_plane_rect(p, k, strip);
        }
    }
    return true;
}

PixelRect rect_at_level(const TilePyramid &p, const PixelRect &changed, int k)
{
    const int shift = p.depth - k;
    PixelRect r;
    r.left = changed.left >> shift;
    r.top = changed.top >> shift;
    r.right = (changed.right + (1 << shift) - 1) >> shift;
    r.bottom = (changed.bottom + (1 << shift) - 1) >> shift;
    return r;
}

void update_tile_pyramid(TilePyramid *p, const PixelRect &changed)
{
    for (int k = p->depth - COMPUTED_LEVELS; k >= 0; --k)
        compute_plane_rect(p, k, rect_at_level(*p, changed, k));
}

bool tile_pixels(const TilePyramid &p, int k, int column, int row,
                 std::vector<uint8_t> *out)
{
    PixelRect r;
    r.left = column * WEB_TILE_SIZE;
    r.top = row * WEB_TILE_SIZE;
    r.right = r.left + WEB_TILE_SIZE;
    r.bottom = r.top + WEB_TILE_SIZE;
    out->resize(static_cast<size_t>(WEB_TILE_SIZE) * WEB_TILE_SIZE * CHANNELS);
    level_rect(p, k, r, false, out->data());
    for (size_t i = 0; i < out->size(); i += CHANNELS)
        if (std::memcmp(out->data() + i, p.background, CHANNELS) != 0)
            return false;
    return true;
}
