#include "tile_place.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "image_format.h"
#include "regular_file.h"

namespace {

const int OPAQUE = 255;

// Loads with the current depth at 32 bits and colour conversion off: the
// PNG and JPEG loaders then hand over their file's own depth (24 bits for
// RGB, 32 with alpha, 8 with a palette) instead of converting to the
// desktop's, and the GIF loader, which draws at the current depth, marks
// what it draws with alpha.
BITMAP *load_at_file_depth(const char *path, RGB *pal)
{
    const int depth = get_color_depth();
    const int conversion = get_color_conversion();
    set_color_depth(TILE_ALPHA_DEPTH);
    set_color_conversion(COLORCONV_NONE);
    BITMAP *bmp = load_bitmap(path, pal);
    set_color_conversion(conversion);
    set_color_depth(depth);
    return bmp;
}

// The 8-bit colours of an 8-bit tile's indices. The library's palette
// holds 6 bits a component, so they are taken from the file where it has
// them: a PNG's PLTE chunk, and for a JPEG (8 bits only when greyscale)
// the index itself, which is the grey level. The file is read from fd
// when it is a descriptor, so that a checked tile is not opened again by
// a name that could lead elsewhere by now.
void palette_colours(const std::string &path, int fd, const RGB *pal,
                     int colours[PAL_SIZE])
{
    for (int i = 0; i < PAL_SIZE; ++i)
        colours[i] = makecol24(_rgb_scale_6[pal[i].r & PALETTE_COMPONENT_MASK],
                               _rgb_scale_6[pal[i].g & PALETTE_COMPONENT_MASK],
                               _rgb_scale_6[pal[i].b & PALETTE_COMPONENT_MASK]);
    std::string ignored;
    const int own = fd >= 0 ? fd : open_regular_file(path.c_str(), &ignored);
    if (own < 0)
        return;
    PaletteColour exact[IMAGE_PALETTE_ENTRIES];
    const int n = read_image_palette(own, exact);
    for (int i = 0; i < n; ++i)
        colours[i] = makecol24(exact[i].r, exact[i].g, exact[i].b);
    if (own != fd)
        close(own);
}

// An 8-bit tile at 24 bits, each index in its colour (both memory
// bitmaps).
BITMAP *expand_palette_tile(BITMAP *tile, const int colours[PAL_SIZE])
{
    BITMAP *out = create_bitmap_ex(MAP_DEPTH, tile->w, tile->h);
    if (!out)
        return nullptr;
    for (int y = 0; y < tile->h; ++y) {
        const unsigned char *src = tile->line[y];
        uintptr_t dst = reinterpret_cast<uintptr_t>(out->line[y]);
        for (int x = 0; x < tile->w; ++x, dst += MAP_BYTES_PER_PIXEL)
            bmp_write24(dst, colours[src[x]]);
    }
    return out;
}

// Tiles of a depth that is neither 24 nor 32 bits: 8-bit ones through
// their palette, any other through the library's conversion.
BITMAP *to_map_depth(BITMAP *tile, const std::string &path, int fd,
                     const RGB *pal)
{
    BITMAP *out;
    if (bitmap_color_depth(tile) == PALETTE_DEPTH) {
        int colours[PAL_SIZE];
        palette_colours(path, fd, pal, colours);
        out = expand_palette_tile(tile, colours);
    } else {
        out = create_bitmap_ex(MAP_DEPTH, tile->w, tile->h);
        if (out)
            blit(tile, out, 0, 0, 0, 0, tile->w, tile->h);
    }
    destroy_bitmap(tile);
    return out;
}

// One component of src over dst at alpha a (1 to 254), rounded.
inline int blend(int src, int dst, int a)
{
    return (src * a + dst * (OPAQUE - a) + OPAQUE / 2) / OPAQUE;
}

// Places a row of a 32-bit tile by its alpha, through the rows' memory
// (tiles and canvases are memory bitmaps).
void place_alpha_row(BITMAP *tile, int ty, BITMAP *canvas, int dx, int cy,
                     int w)
{
    const uint32_t *src = reinterpret_cast<const uint32_t *>(tile->line[ty]);
    uintptr_t out = reinterpret_cast<uintptr_t>(canvas->line[cy]) +
                    static_cast<uintptr_t>(dx) * MAP_BYTES_PER_PIXEL;
    for (int x = 0; x < w; ++x, out += MAP_BYTES_PER_PIXEL) {
        const int c = static_cast<int>(src[x]);
        const int a = geta32(c);
        if (a == 0)
            continue;
        int r = getr32(c), g = getg32(c), b = getb32(c);
        if (a != OPAQUE) {
            const int under = bmp_read24(out);
            r = blend(r, getr24(under), a);
            g = blend(g, getg24(under), a);
            b = blend(b, getb24(under), a);
        }
        bmp_write24(out, makecol24(r, g, b));
    }
}

}  // namespace

void fill_map_canvas(BITMAP *canvas, int colour)
{
    if (!is_memory_bitmap(canvas) || bitmap_color_depth(canvas) != MAP_DEPTH ||
        canvas->h <= 0) {
        clear_to_color(canvas, colour);
        return;
    }
    const size_t row_bytes = static_cast<size_t>(canvas->w) * MAP_BYTES_PER_PIXEL;
    for (int x = 0; x < canvas->w; ++x)
        _putpixel24(canvas, x, 0, colour);
    for (int y = 1; y < canvas->h; ++y)
        std::memcpy(canvas->line[y], canvas->line[0], row_bytes);
}

BITMAP *load_map_tile(const std::string &path, int fd)
{
    PALETTE pal;
    BITMAP *tile = load_at_file_depth(path.c_str(), pal);
    if (!tile)
        return nullptr;
    const int depth = bitmap_color_depth(tile);
    if (depth == MAP_DEPTH || depth == TILE_ALPHA_DEPTH)
        return tile;
    return to_map_depth(tile, path, fd, pal);
}

void place_map_tile(BITMAP *tile, BITMAP *canvas, int dx, int dy, int size)
{
    // Only the tile's top-left square, and nothing outside the canvas.
    const int w = std::min({size, tile->w, canvas->w - dx});
    const int h = std::min({size, tile->h, canvas->h - dy});
    if (w <= 0 || h <= 0 || dx < 0 || dy < 0)
        return;
    if (bitmap_color_depth(tile) != TILE_ALPHA_DEPTH) {
        blit(tile, canvas, 0, 0, dx, dy, w, h);
        return;
    }
    for (int y = 0; y < h; ++y)
        place_alpha_row(tile, y, canvas, dx, dy + y, w);
}
