// Palette fit for the 8-bit reduction of truecolour bitmaps.
//
// The library's reduction (makecol8, used by blit) looks a colour up in
// rgb_map by the top 5 bits of each component, or, without a map, searches
// the current palette for the nearest 6-bit colour, skipping entry 0. The
// library's own palette generator and RGB map builder both work at coarser
// precision than the palette, so both are done here.
#include "map_palette.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "colour_depth.h"

namespace {

const int BYTES_24 = TRUECOLOR_24 / 8;
const int PALETTE_ENTRIES = PAL_SIZE;
// Colours are counted at the palette's precision: 6 bits a component.
const int COLOR_KEYS = 1 << (3 * PALETTE_COMPONENT_BITS);
// rgb_map cells: 5 bits a component, one bit less than the palette.
const int CELL_BITS = 5;
const int CELL_SIDE = 1 << CELL_BITS;
const int CELL_COUNT = CELL_SIDE * CELL_SIDE * CELL_SIDE;
// From the palette's components down to the map's cells.
const int PALETTE_TO_CELL_SHIFT = 1;
const int NO_ENTRY = -1;
// The palette search without a map never returns entry 0.
const int FIRST_SEARCHED_ENTRY = 1;

struct ColorCount {
    uint32_t key;    // red << 12 | green << 6 | blue, 6 bits each
    uint32_t count;  // pixels of this colour
};

// Components of a key, and of the colour it names, in 6 bits.
int key_component(uint32_t key, int which)
{
    return static_cast<int>(key >> (PALETTE_COMPONENT_BITS * (2 - which))) &
           PALETTE_COMPONENT_MASK;
}

uint32_t color_key(int r8, int g8, int b8)
{
    return (static_cast<uint32_t>(r8 >> PALETTE_COMPONENT_SHIFT)
            << (2 * PALETTE_COMPONENT_BITS)) |
           (static_cast<uint32_t>(g8 >> PALETTE_COMPONENT_SHIFT) << PALETTE_COMPONENT_BITS) |
           static_cast<uint32_t>(b8 >> PALETTE_COMPONENT_SHIFT);
}

// The rgb_map cell in which the library looks up a colour of this key.
int cell_of_key(uint32_t key)
{
    int cell = 0;
    for (int c = 0; c < 3; ++c)
        cell = (cell << CELL_BITS) |
               (key_component(key, c) >> PALETTE_TO_CELL_SHIFT);
    return cell;
}

void count_row(BITMAP *bmp, int y, std::vector<uint32_t> &histogram)
{
    const int depth = bitmap_color_depth(bmp);
    if (depth == TRUECOLOR_24 && is_memory_bitmap(bmp)) {
        uintptr_t p = reinterpret_cast<uintptr_t>(bmp->line[y]);
        for (int x = 0; x < bmp->w; ++x, p += BYTES_24) {
            const int c = bmp_read24(p);
            ++histogram[color_key(getr24(c), getg24(c), getb24(c))];
        }
        return;
    }
    if (depth == TRUECOLOR_32 && is_memory_bitmap(bmp)) {
        const uint32_t *row = reinterpret_cast<const uint32_t *>(bmp->line[y]);
        for (int x = 0; x < bmp->w; ++x) {
            const int c = static_cast<int>(row[x]);
            ++histogram[color_key(getr32(c), getg32(c), getb32(c))];
        }
        return;
    }
    for (int x = 0; x < bmp->w; ++x) {
        const int c = getpixel(bmp, x, y);
        ++histogram[color_key(getr_depth(depth, c), getg_depth(depth, c),
                              getb_depth(depth, c))];
    }
}

// The bitmap's distinct colours, most frequent first.
std::vector<ColorCount> count_colors(BITMAP *bmp)
{
    std::vector<uint32_t> histogram(COLOR_KEYS, 0);
    for (int y = 0; y < bmp->h; ++y)
        count_row(bmp, y, histogram);
    std::vector<ColorCount> colors;
    for (uint32_t key = 0; key < static_cast<uint32_t>(COLOR_KEYS); ++key)
        if (histogram[key])
            colors.push_back({key, histogram[key]});
    std::stable_sort(colors.begin(), colors.end(),
                     [](const ColorCount &a, const ColorCount &b) {
                         return a.count > b.count;
                     });
    return colors;
}

bool cells_collide(const std::vector<ColorCount> &colors)
{
    std::vector<bool> taken(CELL_COUNT, false);
    for (const ColorCount &c : colors) {
        const int cell = cell_of_key(c.key);
        if (taken[cell])
            return true;
        taken[cell] = true;
    }
    return false;
}

void set_entry(RGB &entry, uint32_t key)
{
    entry.r = static_cast<unsigned char>(key_component(key, 0));
    entry.g = static_cast<unsigned char>(key_component(key, 1));
    entry.b = static_cast<unsigned char>(key_component(key, 2));
    entry.filler = 0;
}

// Squared distance, in 6-bit units doubled, from a point given in those
// units to a palette entry.
int distance2(const int point[3], const RGB &entry)
{
    const int d[3] = {point[0] - 2 * entry.r, point[1] - 2 * entry.g,
                      point[2] - 2 * entry.b};
    return d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
}

int nearest_entry(const PALETTE pal, int first, int last, const int point[3])
{
    int best = first, best_d = distance2(point, pal[first]);
    for (int i = first + 1; i <= last; ++i) {
        const int d = distance2(point, pal[i]);
        if (d < best_d) {
            best = i;
            best_d = d;
        }
    }
    return best;
}

// Fills map: cells given in cell_entry keep their entry, every other cell
// gets the entry nearest to its centre among first to last.
void build_map(RGB_MAP *map, const PALETTE pal, int first, int last,
               const std::vector<int> &cell_entry)
{
    for (int r = 0; r < CELL_SIDE; ++r)
        for (int g = 0; g < CELL_SIDE; ++g)
            for (int b = 0; b < CELL_SIDE; ++b) {
                const int cell = (r * CELL_SIDE + g) * CELL_SIDE + b;
                int entry = cell_entry[cell];
                if (entry == NO_ENTRY) {
                    // Cell centre: 6-bit value 2c + 0.5, doubled.
                    const int centre[3] = {4 * r + 1, 4 * g + 1, 4 * b + 1};
                    entry = nearest_entry(pal, first, last, centre);
                }
                map->data[r][g][b] = static_cast<unsigned char>(entry);
            }
}

// A box of colours for the median cut: a range of the colour list.
struct ColorBox {
    size_t begin, end;
    double error;  // pixel-weighted squared spread around the mean
    int axis;      // component with the largest spread
};

ColorBox make_box(const std::vector<ColorCount> &colors, size_t begin,
                  size_t end)
{
    double n = 0, sum[3] = {0, 0, 0}, sum2[3] = {0, 0, 0};
    for (size_t i = begin; i < end; ++i)
        for (int c = 0; c < 3; ++c) {
            const double v = key_component(colors[i].key, c);
            sum[c] += v * colors[i].count;
            sum2[c] += v * v * colors[i].count;
        }
    for (size_t i = begin; i < end; ++i)
        n += colors[i].count;
    ColorBox box = {begin, end, 0.0, 0};
    double widest = -1;
    for (int c = 0; c < 3; ++c) {
        const double spread = sum2[c] - sum[c] * sum[c] / n;
        box.error += spread;
        if (spread > widest) {
            widest = spread;
            box.axis = c;
        }
    }
    if (end - begin < 2)
        box.error = 0;
    return box;
}

// Splits the box at the pixel-weighted median of its widest component.
void split_box(std::vector<ColorCount> &colors, const ColorBox &box,
               ColorBox &low, ColorBox &high)
{
    const int axis = box.axis;
    std::sort(colors.begin() + box.begin, colors.begin() + box.end,
              [axis](const ColorCount &a, const ColorCount &b) {
                  return key_component(a.key, axis) <
                         key_component(b.key, axis);
              });
    double total = 0;
    for (size_t i = box.begin; i < box.end; ++i)
        total += colors[i].count;
    double below = 0;
    size_t cut = box.begin + 1;
    for (size_t i = box.begin; i + 1 < box.end; ++i) {
        below += colors[i].count;
        cut = i + 1;
        if (below * 2 >= total)
            break;
    }
    low = make_box(colors, box.begin, cut);
    high = make_box(colors, cut, box.end);
}

uint32_t mean_key(const std::vector<ColorCount> &colors, const ColorBox &box)
{
    double n = 0, sum[3] = {0, 0, 0};
    for (size_t i = box.begin; i < box.end; ++i) {
        n += colors[i].count;
        for (int c = 0; c < 3; ++c)
            sum[c] += key_component(colors[i].key, c) *
                      static_cast<double>(colors[i].count);
    }
    uint32_t key = 0;
    for (int c = 0; c < 3; ++c)
        key = (key << PALETTE_COMPONENT_BITS) |
              static_cast<uint32_t>(sum[c] / n + 0.5);
    return key;
}

// More colours than entries: median cut into 256 boxes, each entry the
// mean of its box, and the map sending each cell to the entry nearest to
// the mean of the bitmap's colours in that cell.
void reduce_colors(std::vector<ColorCount> colors, PALETTE pal, RGB_MAP *map)
{
    std::vector<ColorBox> boxes = {make_box(colors, 0, colors.size())};
    while (boxes.size() < static_cast<size_t>(PALETTE_ENTRIES)) {
        size_t worst = 0;
        for (size_t i = 1; i < boxes.size(); ++i)
            if (boxes[i].error > boxes[worst].error)
                worst = i;
        if (boxes[worst].end - boxes[worst].begin < 2)
            break;
        ColorBox low, high;
        split_box(colors, boxes[worst], low, high);
        boxes[worst] = low;
        boxes.push_back(high);
    }
    for (int i = 0; i < PALETTE_ENTRIES; ++i)
        set_entry(pal[i], i < static_cast<int>(boxes.size())
                              ? mean_key(colors, boxes[i])
                              : 0);
    const int last = static_cast<int>(boxes.size()) - 1;

    std::vector<double> weight(CELL_COUNT, 0), sum(3 * CELL_COUNT, 0);
    for (const ColorCount &c : colors) {
        const int cell = cell_of_key(c.key);
        weight[cell] += c.count;
        for (int k = 0; k < 3; ++k)
            sum[3 * cell + k] += key_component(c.key, k) *
                                 static_cast<double>(c.count);
    }
    std::vector<int> cell_entry(CELL_COUNT, NO_ENTRY);
    for (int cell = 0; cell < CELL_COUNT; ++cell) {
        if (weight[cell] == 0)
            continue;
        int point[3];
        for (int k = 0; k < 3; ++k)
            point[k] = static_cast<int>(2 * sum[3 * cell + k] / weight[cell] +
                                        0.5);
        cell_entry[cell] = nearest_entry(pal, 0, last, point);
    }
    build_map(map, pal, 0, last, cell_entry);
}

}  // namespace

bool fit_palette_to_bitmap(BITMAP *bmp, PALETTE pal, RGB_MAP *map)
{
    const std::vector<ColorCount> colors = count_colors(bmp);
    const int n = static_cast<int>(colors.size());
    if (n > PALETTE_ENTRIES) {
        reduce_colors(colors, pal, map);
        return true;
    }
    for (int i = 0; i < PALETTE_ENTRIES; ++i)
        set_entry(pal[i], 0);
    std::vector<int> cell_entry(CELL_COUNT, NO_ENTRY);

    // Colours that share a map cell can only all be exact through the
    // palette search, which has one entry less; a full 256 stays with the
    // map, where a shared cell costs at most one 6-bit step a component.
    const bool search = n < PALETTE_ENTRIES && cells_collide(colors);
    const int first = search ? FIRST_SEARCHED_ENTRY : 0;
    for (int i = 0; i < n; ++i) {
        set_entry(pal[first + i], colors[i].key);
        int &cell = cell_entry[cell_of_key(colors[i].key)];
        if (cell == NO_ENTRY)
            cell = first + i;  // the most frequent colour of the cell
    }
    if (search)
        pal[0] = pal[FIRST_SEARCHED_ENTRY];
    if (n > 0)
        build_map(map, pal, first, first + n - 1, cell_entry);
    else
        build_map(map, pal, 0, 0, cell_entry);
    return !search;
}

void select_fitted_palette(BITMAP *bmp)
{
    static PALETTE fitted_palette;
    static RGB_MAP fitted_map;
    if (!bmp || bitmap_color_depth(bmp) == PALETTE_DEPTH)
        return;
    const bool use_map = fit_palette_to_bitmap(bmp, fitted_palette,
                                               &fitted_map);
    set_palette_range(fitted_palette, 0, PALETTE_ENTRIES - 1, FALSE);
    rgb_map = use_map ? &fitted_map : nullptr;
}
