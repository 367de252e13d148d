#include "live_web.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "live_files.h"
#include "pyramid_cut.h"
#include "tile_encode.h"
#include "tile_pyramid.h"
#include "vips_library.h"
#include "web_levels.h"
#include "web_map.h"

const char WEB_UPDATES_SCRIPT[] = "updates.js";

namespace {

const int CHANNELS = 3;
// Changes the page can catch up with tile by tile; one further behind
// draws every tile again.
const size_t HISTORY_TILES = 4096;
// The whole level changed: the page draws all of it again.
const int WHOLE_LEVEL = -1;

struct LiveLevel {
    bool followed = false;
    TilePyramid pyramid;
    std::vector<PixelRect> changed;  // in the shown region's pixels
    bool recut = false;
    BITMAP *canvas = nullptr;
    int canvas_x = 0, canvas_y = 0;
};

struct LiveWeb {
    WebMapInfo info;
    std::vector<LiveLevel> levels;  // by zoom
    std::vector<ChangedTile> history;
    unsigned long since = 0;
};
LiveWeb live;

WebLevel *described(int zoom)
{
    for (WebLevel &l : live.info.levels)
        if (l.zoom == zoom)
            return &l;
    return nullptr;
}

LiveLevel &level_state(int zoom)
{
    if (live.levels.size() <= static_cast<size_t>(zoom))
        live.levels.resize(zoom + 1);
    return live.levels[zoom];
}

bool write_tile(int zoom, int k, int row, int column, const std::vector<uint8_t> &rgb,
                bool blank, std::string *why)
{
    const std::string folder = pyramid_name(zoom) + "/" + std::to_string(k) + "/" +
                               std::to_string(row);
    const std::string name = std::to_string(column) + "." + live.info.tile_ext;
    const int dir = open_live_folders(folder, why);
    if (dir < 0)
        return false;
    bool ok = true;
    if (blank) {
        // As in a full cut, a tile wholly background is not written.
        if (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT)
            ok = fail_with_reason(why, "removing " + live_path(folder + "/" + name), errno);
    } else {
        std::string bytes;
        ok = encode_web_tile(rgb, live.info.tile_ext, &bytes, why) &&
             replace_live_file(dir, name, bytes, folder + "/" + name, why);
    }
    close(dir);
    return ok;
}

// Cuts level zoom again whole into the private folder, from where it
// takes the place of the older pyramid.
bool recut_level(int zoom, std::string *why)
{
    LiveLevel &s = live.levels[zoom];
    WebLevel *l = described(zoom);
    const std::string name = pyramid_name(zoom);
    const CanvasRegion region = {s.canvas, s.canvas_x, s.canvas_y, l->width, l->height};
    if (!replace_live_level(region, name, live.info.tile_ext, live.info.background,
                            why)) {
        *why = "cutting the web tiles of " + l->map_name + " into " + live_path(name) +
               ": " + *why;
        return false;
    }
    note_cut_tiles(live_web_fd(), live.info.tile_ext, l);
    live.history.push_back({live.info.generation + 1, zoom, WHOLE_LEVEL, 0, 0});
    s.recut = false;
    s.changed.clear();
    return true;
}

// The web tiles of level zoom that its changed pixels touch, cut again.
bool cut_changed_tiles(int zoom, int *tiles_cut, std::string *why)
{
    LiveLevel &s = live.levels[zoom];
    WebLevel *l = described(zoom);
    std::vector<uint8_t> rgb;
    for (const PixelRect &changed : s.changed)
        update_tile_pyramid(&s.pyramid, changed);
    for (int k = 0; k <= l->depth; ++k) {
        std::vector<char> touched(l->cut[k].size(), 0);
        for (const PixelRect &changed : s.changed) {
            const PixelRect r = rect_at_level(s.pyramid, changed, k);
            for (int y = r.top / WEB_TILE_SIZE; y <= (r.bottom - 1) / WEB_TILE_SIZE; ++y)
                for (int x = r.left / WEB_TILE_SIZE; x <= (r.right - 1) / WEB_TILE_SIZE; ++x)
                    if (y < l->rows[k] && x < l->columns[k])
                        touched[static_cast<size_t>(y) * l->columns[k] + x] = 1;
        }
        for (size_t i = 0; i < touched.size(); ++i) {
            if (!touched[i])
                continue;
            const int row = static_cast<int>(i) / l->columns[k];
            const int column = static_cast<int>(i) % l->columns[k];
            const bool blank = tile_pixels(s.pyramid, k, column, row, &rgb);
            if (!write_tile(zoom, k, row, column, rgb, blank, why))
                return false;
            l->cut[k][i] = !blank;
            live.history.push_back({live.info.generation + 1, zoom, k, row, column});
            ++*tiles_cut;
        }
    }
    s.changed.clear();
    return true;
}

bool write_scripts(std::string *why)
{
    if (live.history.size() > HISTORY_TILES) {
        const size_t drop = live.history.size() - HISTORY_TILES;
        live.since = live.history[drop - 1].generation;
        live.history.erase(live.history.begin(), live.history.begin() + drop);
    }
    return replace_live_file(live_web_fd(), WEB_LEVELS_SCRIPT, levels_script(live.info),
                           WEB_LEVELS_SCRIPT, why) &&
           replace_live_file(live_web_fd(), WEB_UPDATES_SCRIPT,
                           updates_script(live.info, live.since, live.history),
                           WEB_UPDATES_SCRIPT, why);
}

}  // namespace

bool start_live_web(std::string *why)
{
    stop_live_web();
    if (!load_vips(why)) {
        *why = "libvips: " + *why;
        return false;
    }
    if (!open_live_files(why))
        return false;
    live.info = published_web_map;
    live.info.following = true;
    live.levels.clear();
    live.history.clear();
    live.since = 0;
    return write_scripts(why);
}

void stop_live_web() { close_live_files(); }

void follow_web_level(BITMAP *canvas, int zoom, const char *map_name,
                      int min_column, int min_row, int tile_size)
{
    LiveLevel &s = level_state(zoom);
    WebLevel shown;
    web_level_region(canvas, zoom, map_name, min_column, min_row, tile_size,
                     &shown, &s.canvas_x, &s.canvas_y);
    s.canvas = canvas;
    s.followed = true;
    const uint8_t background[CHANNELS] = {
        static_cast<uint8_t>(live.info.background[0]),
        static_cast<uint8_t>(live.info.background[1]),
        static_cast<uint8_t>(live.info.background[2])};
    build_tile_pyramid(&s.pyramid, canvas, s.canvas_x, s.canvas_y, shown.width,
                       shown.height, background);
}

void replace_web_level(BITMAP *canvas, int zoom, const char *map_name,
                       int min_column, int min_row, int tile_size)
{
    WebLevel shown;
    int x = 0, y = 0;
    web_level_region(canvas, zoom, map_name, min_column, min_row, tile_size,
                     &shown, &x, &y);
    WebLevel *l = described(zoom);
    if (!l) {
        live.info.levels.push_back(shown);
        l = &live.info.levels.back();
    }
    *l = shown;
    size_pyramid(l);
    follow_web_level(canvas, zoom, map_name, min_column, min_row, tile_size);
    live.levels[zoom].recut = true;
}

void mark_web_change(int zoom, int x, int y, int width, int height)
{
    LiveLevel &s = level_state(zoom);
    if (!s.followed)
        return;
    PixelRect r;
    r.left = std::max(x - s.canvas_x, 0);
    r.top = std::max(y - s.canvas_y, 0);
    r.right = std::min(x + width - s.canvas_x, s.pyramid.width);
    r.bottom = std::min(y + height - s.canvas_y, s.pyramid.height);
    if (!r.empty())
        s.changed.push_back(r);
}

bool publish_web_changes(int *tiles_cut, std::string *why)
{
    *tiles_cut = 0;
    bool any = false;
    for (size_t zoom = 0; zoom < live.levels.size(); ++zoom) {
        LiveLevel &s = live.levels[zoom];
        if (s.recut) {
            if (!recut_level(static_cast<int>(zoom), why))
                return false;
            any = true;
        } else if (!s.changed.empty()) {
            if (!cut_changed_tiles(static_cast<int>(zoom), tiles_cut, why))
                return false;
            any = true;
        }
    }
    if (!any)
        return true;
    ++live.info.generation;
    return write_scripts(why);
}
