#include "watch_state.h"

#include <allegro.h>
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "change_list.h"
#include "compose.h"
#include "fatal_error.h"
#include "live_web.h"
#include "map_file.h"
#include "map_geometry.h"
#include "terminal_line.h"
#include "tile_check.h"
#include "watch_display.h"
#include "web_map.h"
#include "world_layout.h"

namespace {

const double MS = 1000.0;

struct WatchedLevel {
    BITMAP *canvas = nullptr;
    GridBox bounds;   // the canvas's cells
    GridBox shown;    // what the web map shows
    bool unsaved = false;
};

struct Retry {
    TileEntry entry;
    int tries = 0;
    double due = 0;
};

struct WatchState {
    int world = 0;
    double save_after = 0;
    std::vector<WatchedLevel> levels;
    std::vector<TileEntry> batch;
    double batch_first = -1, batch_last = -1;
    std::vector<Retry> retries;
    double last_change = -1;
    bool web_behind = false;  // a publish failed: tried again at the next change
    bool full_run_asked = false;
    double full_run_at = -1;  // when the list has been quiet long enough
};
WatchState s;

GridBox bounds_of(int zoom)
{
    return {ZoomBounds.zoom_min_x[zoom], ZoomBounds.zoom_min_y[zoom],
            ZoomBounds.zoom_max_x[zoom], ZoomBounds.zoom_max_y[zoom]};
}

bool same(const GridBox &a, const GridBox &b)
{
    return a.min_x == b.min_x && a.min_y == b.min_y && a.max_x == b.max_x &&
           a.max_y == b.max_y;
}

void follow(int zoom)
{
    WatchedLevel &l = s.levels[zoom];
    l.bounds = bounds_of(zoom);
    explored_box(zoom, &l.shown);
    set_web_region(zoom, l.shown.min_x, l.shown.min_y, l.shown.max_x, l.shown.max_y);
}

void take_canvases()
{
    s.levels.assign(kept_map_canvases.size(), WatchedLevel());
    for (size_t z = 0; z < kept_map_canvases.size(); ++z) {
        s.levels[z].canvas = kept_map_canvases[z];
        follow(static_cast<int>(z));
        follow_web_level(s.levels[z].canvas, static_cast<int>(z),
                         map_name(static_cast<int>(z)).c_str(),
                         s.levels[z].bounds.min_x, s.levels[z].bounds.min_y, tile_size);
    }
    kept_map_canvases.clear();
}

void start_live_web_map()
{
    std::string why;
    if (!start_live_web(&why))
        fatal_error("Error writing the web map %s\n%s\n", WEB_FOLDER_NAME, why.c_str());
    take_canvases();
    // What the full run's cut and saves freed goes back to the system:
    // a watch holds the canvases and little else for hours.
    malloc_trim(0);
}

void try_again(const TileEntry &e, int tries, const std::string &why)
{
    if (tries >= TILE_TRIES) {
        std::cerr << "Warning: " << listed_tile_path(s.world, e) << " skipped after "
                  << tries << " tries: " << why << std::endl;
        return;
    }
    s.retries.push_back({e, tries, watch_clock() + TILE_RETRY_SECONDS});
}

// The level's canvas again, at its new bounds, from every tile listed.
void compose_level(int zoom, BatchCounts *counts)
{
    WatchedLevel &l = s.levels[zoom];
    if (l.canvas)
        destroy_bitmap(l.canvas);
    check_map_memory(MAP_BYTES_PER_PIXEL);
    l.canvas = create_map_canvas(zoom);
    if (!l.canvas)
        map_bitmap_failed(zoom, MAP_BYTES_PER_PIXEL);
    for (const TileEntry &e : tile_list) {
        if (e.zoom != zoom)
            continue;
        std::string why;
        if (replace_listed_tile(s.world, e, l.canvas, &why))
            ++counts->placed[zoom];
        else
            try_again(e, 1, why);
    }
    follow(zoom);
    replace_web_level(l.canvas, zoom, map_name(zoom).c_str(), l.bounds.min_x,
                      l.bounds.min_y, tile_size);
    l.unsaved = true;
}

void place(const Retry &r, BatchCounts *counts)
{
    const TileEntry &e = r.entry;
    WatchedLevel &l = s.levels[e.zoom];
    std::string why;
    if (!replace_listed_tile(s.world, e, l.canvas, &why)) {
        try_again(e, r.tries + 1, why);
        return;
    }
    mark_web_change(e.zoom, (e.x - l.bounds.min_x) * tile_size,
                    (e.y - l.bounds.min_y) * tile_size, tile_size, tile_size);
    l.unsaved = true;
    ++counts->placed[e.zoom];
}

// The list holds a line: an empty one is being written anew.
bool list_has_tiles()
{
    struct stat st;
    return stat(change_list_path(appdata_path, s.world).c_str(), &st) == 0 &&
           st.st_size > 0;
}

void run_batch(const std::vector<Retry> &work)
{
    const double start = watch_clock();
    BatchCounts counts;
    counts.placed.assign(ZoomBounds.max_zoom + 1, 0);
    if (s.levels.size() < static_cast<size_t>(ZoomBounds.max_zoom + 1))
        s.levels.resize(ZoomBounds.max_zoom + 1);
    // A level whose tiles now reach past its canvas is composed again;
    // one whose explored region grew is cut again whole.
    std::vector<char> &composed = counts.composed;
    composed.assign(s.levels.size(), 0);
    for (size_t z = 0; z < s.levels.size(); ++z) {
        const int zoom = static_cast<int>(z);
        GridBox shown;
        if (!explored_box(zoom, &shown))
            continue;
        if (!s.levels[z].canvas || !same(s.levels[z].bounds, bounds_of(zoom))) {
            compose_level(zoom, &counts);
            composed[z] = 1;
        } else if (!same(s.levels[z].shown, shown)) {
            follow(zoom);
            replace_web_level(s.levels[z].canvas, zoom, map_name(zoom).c_str(),
                              s.levels[z].bounds.min_x, s.levels[z].bounds.min_y,
                              tile_size);
        }
    }
    for (const Retry &r : work)
        if (!composed[r.entry.zoom])
            place(r, &counts);
    std::string why;
    s.web_behind = !publish_web_changes(&counts.web_tiles, &why);
    if (s.web_behind)
        web_write_failed(why);
    counts.milliseconds = (watch_clock() - start) * MS;
    show_batch(counts);
    s.last_change = watch_clock();
    malloc_trim(0);
}

}  // namespace

double watch_clock()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

bool explored_box(int zoom, GridBox *box)
{
    bool any = false;
    for (const TileEntry &e : tile_list) {
        if (e.zoom != zoom)
            continue;
        if (!any)
            *box = {e.x, e.y, e.x, e.y};
        box->min_x = std::min(box->min_x, e.x);
        box->min_y = std::min(box->min_y, e.y);
        box->max_x = std::max(box->max_x, e.x);
        box->max_y = std::max(box->max_y, e.y);
        any = true;
    }
    return any;
}

void start_watch_state(int world_number, int save_after_seconds)
{
    s.world = world_number;
    s.save_after = save_after_seconds;
    start_watch_display(world_number);
    start_live_web_map();
}

void add_to_batch(const std::vector<TileEntry> &entries)
{
    if (entries.empty())
        return;
    const double now = watch_clock();
    if (s.batch.empty())
        s.batch_first = now;
    s.batch_last = now;
    s.batch.insert(s.batch.end(), entries.begin(), entries.end());
}

double next_due()
{
    double due = -1;
    auto sooner = [&due](double t) { due = due < 0 ? t : std::min(due, t); };
    if (!s.batch.empty())
        sooner(std::min(s.batch_last + WATCH_BATCH_SECONDS,
                        s.batch_first + WATCH_BATCH_MAX_SECONDS));
    for (const Retry &r : s.retries)
        sooner(r.due);
    bool unsaved = false;
    for (const WatchedLevel &l : s.levels)
        unsaved = unsaved || l.unsaved;
    if (unsaved && s.last_change >= 0)
        sooner(s.last_change + s.save_after);
    if (s.full_run_at >= 0)
        sooner(s.full_run_at);
    return due;
}

namespace {
void full_run();
}

void process_due(bool everything)
{
    const double now = watch_clock();
    if (s.full_run_asked && (everything || (s.full_run_at >= 0 && now >= s.full_run_at))) {
        s.full_run_at = -1;
        if (!list_has_tiles())
            return;
        s.full_run_asked = false;
        full_run();
        return;
    }
    std::vector<Retry> work;
    if (!s.batch.empty() && (everything || now >= s.batch_last + WATCH_BATCH_SECONDS ||
                             now >= s.batch_first + WATCH_BATCH_MAX_SECONDS)) {
        for (const TileEntry &e : s.batch)
            work.push_back({e, 0, 0});
        s.batch.clear();
    }
    std::vector<Retry> later;
    for (Retry &r : s.retries) {
        if (everything)
            r.tries = TILE_TRIES - 1;
        (everything || now >= r.due ? work : later).push_back(r);
    }
    s.retries = later;
    if (!work.empty() || (everything && s.web_behind))
        run_batch(work);
    if (!everything && s.last_change >= 0 && watch_clock() >= s.last_change + s.save_after)
        save_changed_maps();
}

void save_changed_maps()
{
    for (size_t z = 0; z < s.levels.size(); ++z) {
        WatchedLevel &l = s.levels[z];
        if (!l.unsaved || !l.canvas)
            continue;
        const std::string name = map_name(static_cast<int>(z));
        show_saving(name, true);
        std::string why;
        l.unsaved = !save_map(name, l.canvas, &why);
        if (l.unsaved) {
            map_save_failed(name, why);
            // Tried again after another quiet spell, not at once.
            s.last_change = watch_clock();
        }
        show_saving(name, false);
    }
}

void ask_full_run()
{
    s.full_run_asked = true;
    s.full_run_at = watch_clock() + WATCH_BATCH_SECONDS;
}

bool full_run_asked() { return s.full_run_asked; }

namespace {

// The list was written anew: everything is mapped again from it.
void full_run()
{
    const int world_number = s.world;
    std::cout << "changed.txt was replaced: mapping world " << world_number
              << " again from it" << std::endl;
    stop_live_web();
    for (WatchedLevel &l : s.levels)
        if (l.canvas)
            destroy_bitmap(l.canvas);
    s.levels.clear();
    s.batch.clear();
    s.retries.clear();
    tile_list.clear();
    ZoomBounds = ZoomBoundsRecord();
    read_change_list(world_number);
    show_explored_regions();
    start_terminal_progress(world_name(world_number));
    compose_maps(world_number);
    std::string why;
    if (!finish_web_map(&why))
        fatal_error("Error writing the web map %s\n%s\n", WEB_FOLDER_NAME, why.c_str());
    start_live_web_map();
}

}  // namespace

void show_explored_regions()
{
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        GridBox box;
        if (explored_box(z, &box))
            set_web_region(z, box.min_x, box.min_y, box.max_x, box.max_y);
    }
}
