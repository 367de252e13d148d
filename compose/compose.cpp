#include "compose.h"

#include <allegro.h>

#include <iostream>
#include <string>
#include <vector>

#include "bitmap_size.h"
#include "exit_signals.h"
#include "fatal_error.h"
#include "map_file.h"
#include "map_geometry.h"
#include "memory_pages.h"
#include "observer_calls.h"
#include "tile_check.h"
#include "tile_load.h"
#include "tile_place.h"
#include "tile_types.h"

bool keep_map_canvases = false;
std::vector<BITMAP *> kept_map_canvases;

namespace {

void log_line(const std::string &a, const std::string &b)
{
    std::cout << a << b << std::endl;
}

BITMAP *create_canvas(int zoom)
{
    int64_t w = 0, h = 0;
    map_size(zoom, &w, &h);
    if (!bitmap_fits(w, h, MAP_BYTES_PER_PIXEL))
        return nullptr;
    BITMAP *canvas = create_bitmap_ex(MAP_DEPTH, static_cast<int>(w),
                                      static_cast<int>(h));
    if (canvas)
        prefer_huge_pages(canvas->dat, bitmap_bytes(w, h, MAP_BYTES_PER_PIXEL));
    return canvas;
}

int background_colour()
{
    return makecol_depth(MAP_DEPTH, BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
}

void load_sample_tile(int world_number)
{
    const std::string path = listed_tile_path(world_number, tile_list.front());
    std::string why;
    BITMAP *sample = load_checked_tile(path, &why);
    if (!sample)
        sample_tile_failed(path + ": " + why);
    destroy_bitmap(sample);
}

void place_tile(int world_number, const TileEntry &t, BITMAP *canvas)
{
    const std::string path = listed_tile_path(world_number, t);
    std::string why;
    BITMAP *tile = load_checked_tile(path, &why);
    if (!tile)
        tile_failed(path, why);
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

BITMAP *create_map_canvas(int zoom)
{
    BITMAP *canvas = create_canvas(zoom);
    if (canvas)
        fill_map_canvas(canvas, background_colour());
    return canvas;
}

bool replace_listed_tile(int world_number, const TileEntry &t, BITMAP *canvas,
                         std::string *why)
{
    const std::string path = listed_tile_path(world_number, t);
    BITMAP *tile = load_checked_tile(path, why);
    finish_tile_loads();
    if (!tile) {
        *why = path + ": " + *why;
        return false;
    }
    const int dx = (t.x - ZoomBounds.zoom_min_x[t.zoom]) * tile_size;
    const int dy = (t.y - ZoomBounds.zoom_min_y[t.zoom]) * tile_size;
    // A transparent tile shows the background, as in a full run, not
    // the tile it replaces.
    rectfill(canvas, dx, dy, dx + tile_size - 1, dy + tile_size - 1,
             background_colour());
    place_map_tile(tile, canvas, dx, dy, tile_size);
    destroy_bitmap(tile);
    return true;
}

void compose_maps(int world_number)
{
    // A stop asked for meanwhile must not leave a half-written map behind.
    catch_exit_signals();
    // Every tile's file and header, then the sizes and memory of the
    // maps, are checked before any tile is decoded: the tile size is the
    // first tile's width by its header.
    const std::vector<CheckedTile> tiles = check_listed_tiles(world_number);
    tile_size = static_cast<int32_t>(tiles.front().width);
    check_map_memory(MAP_BYTES_PER_PIXEL);
    load_sample_tile(world_number);
    warn_tile_sizes(tiles, tile_size);

    const int levels = ZoomBounds.max_zoom + 1;
    std::vector<BITMAP *> map_canvas(levels, nullptr);
    for (int z = 0; z < levels; ++z) {
        map_canvas[z] = create_map_canvas(z);
        if (!map_canvas[z])
            map_bitmap_failed(z, MAP_BYTES_PER_PIXEL);
    }

    // Each cell's tile is decoded and placed once; every entry is logged.
    const std::vector<bool> decode = entries_to_decode(tile_list);
    for (size_t i = 0; i < tile_list.size(); ++i) {
        if (decode[i])
            place_tile(world_number, tile_list[i], map_canvas[tile_list[i].zoom]);
        else
            log_line("Blitting ", listed_tile_path(world_number, tile_list[i]));
        observe_tiles_placed(i + 1, tile_list.size());
    }
    finish_tile_loads();

    // Every level is attempted; the failures are reported together, in
    // one message, once the last level is done.
    std::string failed_saves;
    const ImageFormat format = format_of_extension(tile_ext);
    for (int z = 0; z < levels; ++z) {
        const std::string name = map_name(z);
        observe_map_canvas(map_canvas[z], z, name.c_str(), format,
                           ZoomBounds.zoom_min_x[z], ZoomBounds.zoom_min_y[z],
                           tile_size);
        log_line("Saving ", name);
        observe_save_began(name.c_str(), map_canvas[z]->w, map_canvas[z]->h);
        std::string why;
        bool saved = save_map(name, map_canvas[z], &why);
        if (!saved && observe_save_failed(name.c_str(), why.c_str()))
            saved = save_map(name, map_canvas[z], &why);
        if (saved)
            log_line(name, " saved");
        else
            failed_saves += "Error saving " + name + "\n" + why + "\n";
        observe_save_ended(name.c_str(), saved);
        observe_canvas_release(map_canvas[z]);
        if (!keep_map_canvases)
            destroy_bitmap(map_canvas[z]);
    }
    if (keep_map_canvases)
        kept_map_canvases = map_canvas;
    // Still caught while the message waits: a file-size limit that
    // failed the save must not kill its message.
    if (!failed_saves.empty())
        fatal_error("%s", failed_saves.c_str());
    release_exit_signals();
}
