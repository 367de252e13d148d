#include "tile_place.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

namespace {

const int OPAQUE = 255;
const int PALETTE_DEPTH = 8;
// Palette components have 6 bits; the scaling table has 64 entries.
const int COMPONENT_6_BITS = 63;

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

// An 8-bit tile's colours from the palette its loader reported, whose
// components have the library's 6 bits.
BITMAP *expand_palette_tile(BITMAP *tile, const RGB *pal)
{
    BITMAP *out = create_bitmap_ex(MAP_DEPTH, tile->w, tile->h);
    if (!out)
        return nullptr;
    int colours[PAL_SIZE];
    for (int i = 0; i < PAL_SIZE; ++i)
        colours[i] = makecol24(_rgb_scale_6[pal[i].r & COMPONENT_6_BITS],
                               _rgb_scale_6[pal[i].g & COMPONENT_6_BITS],
                               _rgb_scale_6[pal[i].b & COMPONENT_6_BITS]);
    for (int y = 0; y < tile->h; ++y)
        for (int x = 0; x < tile->w; ++x)
            _putpixel24(out, x, y, colours[_getpixel(tile, x, y)]);
    return out;
}

// Tiles of a depth that is neither 24 nor 32 bits: 8-bit ones through
// their palette, any other through the library's conversion.
BITMAP *to_map_depth(BITMAP *tile, const RGB *pal)
{
    BITMAP *out;
    if (bitmap_color_depth(tile) == PALETTE_DEPTH) {
        out = expand_palette_tile(tile, pal);
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

// Places a row of a 32-bit tile by its alpha.
void place_alpha_row(BITMAP *tile, int ty, BITMAP *canvas, int dx, int cy,
                     int w)
{
    for (int x = 0; x < w; ++x) {
        const int c = _getpixel32(tile, x, ty);
        const int a = geta32(c);
        if (a == 0)
            continue;
        int r = getr32(c), g = getg32(c), b = getb32(c);
        if (a != OPAQUE) {
            const int under = _getpixel24(canvas, dx + x, cy);
            r = blend(r, getr24(under), a);
            g = blend(g, getg24(under), a);
            b = blend(b, getb24(under), a);
        }
        _putpixel24(canvas, dx + x, cy, makecol24(r, g, b));
    }
}

// Packs a column and a row into one key.
uint64_t cell_key(const TileEntry &t)
{
    return (static_cast<uint64_t>(static_cast<uint32_t>(t.x)) << 32) |
           static_cast<uint32_t>(t.y);
}

}  // namespace

BITMAP *load_map_tile(const std::string &path)
{
    PALETTE pal;
    BITMAP *tile = load_at_file_depth(path.c_str(), pal);
    if (!tile)
        return nullptr;
    const int depth = bitmap_color_depth(tile);
    if (depth == MAP_DEPTH || depth == TILE_ALPHA_DEPTH)
        return tile;
    return to_map_depth(tile, pal);
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

std::vector<bool> entries_to_decode(const std::vector<TileEntry> &list)
{
    std::vector<bool> decode(list.size(), true);
    std::vector<std::unordered_set<uint64_t>> seen(ZOOM_SLOTS);
    for (size_t i = 0; i < list.size(); ++i) {
        const TileEntry &t = list[i];
        if (t.zoom < 0 || t.zoom >= ZOOM_SLOTS)
            continue;
        decode[i] = seen[t.zoom].insert(cell_key(t)).second;
    }
    return decode;
}
