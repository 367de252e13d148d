#include "world_gen.h"

#include <allegro.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "colour_depth.h"
#include "map_palette.h"
#include "world_layout.h"

namespace {

const char WINDOWS_APPDATA[] = "C:\\Users\\player\\AppData\\Roaming";
const char WINDOWS_SEPARATOR[] = "\\";

void make_dirs(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::u8path(path), ignored);
}

uint32_t hash3(int a, int b, int c)
{
    uint32_t h = 2166136261u;
    for (int v : {a, b, c}) {
        h ^= static_cast<uint32_t>(v);
        h *= 16777619u;
        h ^= h >> 15;
    }
    return h;
}

// Smooth value noise over a coarse lattice plus fine grain, so that
// textured tiles compress like real terrain rather than flat colour.
int terrain_value(int gx, int gy, uint32_t salt)
{
    const int cell = 16;
    int cx = gx / cell, cy = gy / cell;
    int fx = gx % cell, fy = gy % cell;
    auto corner = [&](int x, int y) {
        return static_cast<int>(hash3(x, y, salt) & 0xFF);
    };
    int top = corner(cx, cy) * (cell - fx) + corner(cx + 1, cy) * fx;
    int bottom = corner(cx, cy + 1) * (cell - fx) + corner(cx + 1, cy + 1) * fx;
    int smooth = (top * (cell - fy) + bottom * fy) / (cell * cell);
    int grain = static_cast<int>(hash3(gx, gy, salt ^ 0x9e37u) & 0x0F) - 8;
    int v = smooth + grain;
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

}  // namespace

std::vector<GenTile> sample_layout()
{
    std::vector<GenTile> tiles;
    // Zoom 0: columns -2..3, rows -1..2, with a few cells left out.
    for (int y = -1; y <= 2; ++y)
        for (int x = -2; x <= 3; ++x)
            if ((x + 2 * y) % 4 != 1)
                tiles.push_back({0, x, y});
    // Zoom 1: a smaller patch, also reaching negative columns.
    for (int y = 0; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x)
            if (!(x == 1 && y == 0))
                tiles.push_back({1, x, y});
    // Zoom 2: two tiles away from the origin.
    tiles.push_back({2, 1, 1});
    tiles.push_back({2, 2, 1});
    return tiles;
}

std::vector<GenTile> grid_layout(int zoom, int cols, int rows)
{
    std::vector<GenTile> tiles;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            tiles.push_back({zoom, x - cols / 2, y - rows / 2});
    return tiles;
}

std::string tile_file(const SampleWorld &world, const GenTile &t)
{
    return tile_path(world.root, world.number, t, world.ext);
}

std::string change_line(const SampleWorld &world, const GenTile &t)
{
    if (world.windows_paths)
        return tile_path(WINDOWS_APPDATA, world.number, t, world.ext,
                         WINDOWS_SEPARATOR);
    return tile_file(world, t);
}

BITMAP *make_tile_bitmap(const SampleWorld &world, const GenTile &t)
{
    const int n = world.tile_size;
    // Drawn at 24 bits, so that PNG tiles are saved as opaque RGB, as the
    // game writes them (32-bit bitmaps would be saved with alpha 0).
    BITMAP *bmp = create_bitmap_ex(TRUECOLOR_24, n, n);
    if (!bmp)
        return nullptr;
    auto colour = [](int r, int g, int b) {
        return makecol_depth(TRUECOLOR_24, r, g, b);
    };
    uint32_t h = hash3(t.zoom, t.x, t.y);
    int r = 60 + (h & 0x7F), g = 60 + ((h >> 8) & 0x7F),
        b = 60 + ((h >> 16) & 0x7F);
    if (world.textured) {
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int v = terrain_value(t.x * n + x + (1 << 20),
                                      t.y * n + y + (1 << 20), t.zoom);
                putpixel(bmp, x, y,
                         colour(r * v / 255, g * v / 255, (b + v) / 2));
            }
    } else {
        clear_to_color(bmp, colour(r, g, b));
    }
    rect(bmp, 0, 0, n - 1, n - 1, colour(40, 40, 40));
    std::ostringstream label;
    label << t.x << "," << t.y;
    textout_centre_ex(bmp, font, label.str().c_str(), n / 2, n / 2 - 4,
                      colour(255, 255, 255), -1);
    std::ostringstream zl;
    zl << "z" << t.zoom;
    textout_ex(bmp, font, zl.str().c_str(), 3, 3, colour(0, 0, 0), -1);
    return bmp;
}

bool write_world(const SampleWorld &world)
{
    make_dirs(world_folder_path(world.root, world.number));
    std::set<int> zooms;
    for (const GenTile &t : world.tiles)
        zooms.insert(t.zoom);
    for (int z : zooms)
        make_dirs(zoom_folder_path(world.root, world.number, z));

    for (const GenTile &t : world.tiles) {
        BITMAP *bmp = make_tile_bitmap(world, t);
        if (!bmp)
            return false;
        // GIF tiles are saved through the current palette: give each one
        // its own, as the game would, so it keeps its colours.
        if (world.ext == "gif")
            select_fitted_palette(bmp);
        int rc = save_bitmap(tile_file(world, t).c_str(), bmp, NULL);
        destroy_bitmap(bmp);
        if (rc != 0)
            return false;
    }
    std::ofstream list(change_list_path(world.root, world.number),
                       std::ios::binary);
    const char *end = world.crlf ? "\r\n" : "\n";
    for (const GenTile &t : world.tiles)
        list << change_line(world, t) << end;
    return static_cast<bool>(list);
}
