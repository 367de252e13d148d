#include "compose.h"

#include <allegro.h>
#include <loadpng.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

#include "map_file.h"
#include "tile_check.h"
#include "tile_place.h"
#include "tile_types.h"

int32_t tile_size;

namespace {

const char MAP_NAME_PREFIX[] = "map_zoom_";

void build_map_name(std::stringstream &s, int zoom)
{
    s.str("");
    s << MAP_NAME_PREFIX << zoom << "." << tile_ext;
}

void log_line(const std::string &a, const std::string &b)
{
    std::cout << a << b << std::endl;
}

// Bytes that the library allocates per pixel at a colour depth.
int bytes_per_pixel(int depth) { return (depth + 7) / 8; }

int64_t canvas_extent(int32_t min, int32_t max)
{
    return (static_cast<int64_t>(max) - min + 1) * tile_size;
}

BITMAP *create_canvas(int zoom)
{
    int64_t w = canvas_extent(ZoomBounds.zoom_min_x[zoom],
                              ZoomBounds.zoom_max_x[zoom]);
    int64_t h = canvas_extent(ZoomBounds.zoom_min_y[zoom],
                              ZoomBounds.zoom_max_y[zoom]);
    if (!canvas_fits(w, h, bytes_per_pixel(MAP_DEPTH)))
        return nullptr;
    return create_bitmap_ex(MAP_DEPTH, static_cast<int>(w),
                            static_cast<int>(h));
}

void load_sample_tile(std::stringstream &s, int world_number)
{
    build_tile_path(s, world_number, tile_list.front());
    std::string why;
    BITMAP *sample = load_checked_tile(s.str(), &why);
    if (!sample) {
        allegro_message("Error loading sample bitmap.\n%s: %s\n",
                        s.str().c_str(), why.c_str());
        exit(1);
    }
    tile_size = sample->w;
    destroy_bitmap(sample);
}

void place_tile(std::stringstream &s, int world_number, const TileEntry &t,
                BITMAP *canvas)
{
    build_tile_path(s, world_number, t);
    const std::string path = s.str();
    std::string why;
    BITMAP *tile = load_checked_tile(path, &why);
    if (!tile) {
        allegro_message("Error loading %s\n%s\n", path.c_str(), why.c_str());
        exit(1);
    }
    log_line("Blitting ", path);
    int64_t dx = (static_cast<int64_t>(t.x) - ZoomBounds.zoom_min_x[t.zoom])
                 * tile_size;
    int64_t dy = (static_cast<int64_t>(t.y) - ZoomBounds.zoom_min_y[t.zoom])
                 * tile_size;
    place_map_tile(tile, canvas, static_cast<int>(dx), static_cast<int>(dy),
                   tile_size);
    destroy_bitmap(tile);
}

}  // namespace

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool canvas_fits(int64_t width, int64_t height, int bytes_per_pixel)
{
    if (width <= 0 || height <= 0 || bytes_per_pixel <= 0)
        return false;
    if (width > INT_MAX || height > INT_MAX)
        return false;
    return width * height <= INT_MAX / bytes_per_pixel;
}


void compose_maps(int world_number)
{
    // A stop asked for meanwhile must not leave a half-written map behind.
    catch_exit_signals();
    std::stringstream s(std::ios::in | std::ios::out);
    // Every tile's file and header, then the memory of the maps, are
    // checked before any map bitmap exists.
    const std::vector<CheckedTile> tiles = check_listed_tiles(world_number);
    load_sample_tile(s, world_number);
    warn_tile_sizes(tiles, tile_size);
    const int canvas_bytes_per_pixel = bytes_per_pixel(MAP_DEPTH);
    check_map_memory(canvas_bytes_per_pixel);

    const int levels = ZoomBounds.max_zoom + 1;
    std::vector<BITMAP *> map_canvas(levels, nullptr);
    for (int z = 0; z < levels; ++z) {
        map_canvas[z] = create_canvas(z);
        if (!map_canvas[z])
            map_bitmap_failed(z, canvas_bytes_per_pixel);
        fill_map_canvas(map_canvas[z],
                        makecol_depth(MAP_DEPTH, BACKGROUND_R, BACKGROUND_G,
                                      BACKGROUND_B));
    }

    // Each cell's tile is decoded and placed once; every entry is logged.
    const std::vector<bool> decode = entries_to_decode(tile_list);
    for (size_t i = 0; i < tile_list.size(); ++i) {
        if (decode[i]) {
            place_tile(s, world_number, tile_list[i],
                       map_canvas[tile_list[i].zoom]);
        } else {
            build_tile_path(s, world_number, tile_list[i]);
            log_line("Blitting ", s.str());
        }
    }
    finish_tile_loads();

    // Every level is attempted; the failures are reported together, in
    // one message, once the last level is done.
    std::string failed_saves;
    for (int z = 0; z < levels; ++z) {
        build_map_name(s, z);
        const std::string name = s.str();
        log_line("Saving ", name);
        std::string why;
        if (save_map(name, map_canvas[z], &why))
            log_line(name, " saved");
        else
            failed_saves += "Error saving " + name + "\n" + why + "\n";
        destroy_bitmap(map_canvas[z]);
        map_canvas[z] = nullptr;
    }
    release_exit_signals();
    if (!failed_saves.empty()) {
        allegro_message("%s", failed_saves.c_str());
        exit(1);
    }
}
