#include "live_web.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "private_output.h"
#include "pyramid_cut.h"
#include "remove_tree.h"
#include "tile_pyramid.h"
#include "vips_library.h"
#include "web_levels.h"
#include "web_map.h"

const char WEB_UPDATES_SCRIPT[] = "updates.js";

namespace {

const char LEVELS_SCRIPT[] = "levels.js";
// The private folder in map_web where each file is written before it
// takes its place, and the file's name there.
const char LIVE_STEM[] = "live";
const char STAGED_FILE[] = "staged";
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
    int fd = -1;
    PrivateFolder dir;  // in map_web
    WebMapInfo info;
    std::vector<LiveLevel> levels;  // by zoom
    std::vector<ChangedTile> history;
    unsigned long since = 0;
};
LiveWeb live;

bool fail(std::string *why, const std::string &what, int err)
{
    *why = what + ": " + std::strerror(err);
    return false;
}

std::string where(const std::string &name)
{
    return current_folder() + "/" + WEB_FOLDER_NAME + "/" + name;
}

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

// Writes data in the private folder and renames it over name in the
// folder open at dir, so that a reader finds the older file or the new
// one, whole.
bool write_replacing(int dir, const std::string &name, const std::string &data,
                     const std::string &shown_as, std::string *why)
{
    // What a failed write left.
    unlinkat(live.dir.fd, STAGED_FILE, 0);
    const int fd = openat(live.dir.fd, STAGED_FILE,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          user_file_mode());
    if (fd < 0)
        return fail(why, "creating " + where(live.dir.name + "/" + STAGED_FILE), errno);
    bool ok = write_all(fd, data.data(), data.size());
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    std::string reason;
    if (ok && !publish_file_into(&live.dir, STAGED_FILE, dir, name.c_str(), &reason)) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlinkat(live.dir.fd, STAGED_FILE, 0);
        return fail(why, "writing " + where(shown_as), err);
    }
    return true;
}

// Opens (making where missing) the folders of path below the web map,
// without following links; -1 with *why set.
int open_folders(const std::string &path, std::string *why)
{
    int dir = fcntl(live.fd, F_DUPFD_CLOEXEC, 0);
    std::string done;
    for (std::string::size_type start = 0, end; dir >= 0 && start < path.size();
         start = end + 1) {
        end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        done += (done.empty() ? "" : "/") + part;
        if (mkdirat(dir, part.c_str(), user_folder_mode()) != 0 && errno != EEXIST) {
            fail(why, "creating " + where(done), errno);
            close(dir);
            return -1;
        }
        const int next = openat(dir, part.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        close(dir);
        dir = next;
        if (dir < 0)
            fail(why, "opening " + where(done), err);
    }
    return dir;
}

bool write_tile(int zoom, int k, int row, int column, const std::vector<uint8_t> &rgb,
                bool blank, std::string *why)
{
    const std::string folder = pyramid_name(zoom) + "/" + std::to_string(k) + "/" +
                               std::to_string(row);
    const std::string name = std::to_string(column) + "." + live.info.tile_ext;
    const int dir = open_folders(folder, why);
    if (dir < 0)
        return false;
    bool ok = true;
    if (blank) {
        // As in a full cut, a tile wholly background is not written.
        if (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT)
            ok = fail(why, "removing " + where(folder + "/" + name), errno);
    } else {
        std::string bytes;
        ok = encode_web_tile(rgb, &bytes, why) &&
             write_replacing(dir, name, bytes, folder + "/" + name, why);
    }
    close(dir);
    return ok;
}

// Cuts the region into the pyramid name in the private folder, from
// inside it: libvips writes by name, and no /proc is needed. Nothing
// else opens files by relative name meanwhile (the watch's one thread).
bool cut_inside(const CanvasRegion &region, const std::string &name,
                std::string *why)
{
    const int back = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (back < 0)
        return fail(why, "opening the output folder " + current_folder(), errno);
    if (fchdir(live.dir.fd) != 0) {
        close(back);
        return fail(why, "entering " + where(live.dir.name), errno);
    }
    bool ok = cut_pyramid(region, live.dir.fd, name, name, live.info.tile_ext,
                          live.info.background, why);
    if (fchdir(back) != 0 && ok)
        ok = fail(why, "returning to the output folder", errno);
    close(back);
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
    // What a failed cut left.
    remove_tree_at(live.dir.fd, name.c_str());
    if (!cut_inside(region, name, why)) {
        remove_tree_at(live.dir.fd, name.c_str());
        *why = "cutting the web tiles of " + l->map_name + " into " + where(name) +
               ": " + *why;
        return false;
    }
    std::string reason;
    if (!replace_folder_into(&live.dir, name.c_str(), live.fd, name.c_str(), &reason)) {
        const int err = errno;
        remove_tree_at(live.dir.fd, name.c_str());
        return fail(why, "replacing " + where(name), err);
    }
    note_cut_tiles(live.fd, live.info.tile_ext, l);
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
    return write_replacing(live.fd, LEVELS_SCRIPT, levels_script(live.info),
                           LEVELS_SCRIPT, why) &&
           write_replacing(live.fd, WEB_UPDATES_SCRIPT,
                           updates_script(live.info, live.since, live.history),
                           WEB_UPDATES_SCRIPT, why);
}

}  // namespace

bool encode_web_tile(const std::vector<unsigned char> &rgb, std::string *bytes,
                     std::string *why)
{
    if (!load_vips(why)) {
        *why = "encoding a web tile: libvips: " + *why;
        return false;
    }
    VipsImage *image = vips_calls.image_new_from_memory(
        rgb.data(), rgb.size(), WEB_TILE_SIZE, WEB_TILE_SIZE, CHANNELS,
        VIPS_FORMAT_UCHAR);
    void *buffer = nullptr;
    size_t length = 0;
    // Without metadata, as libvips's full cut writes its tiles.
    int result = -1;
    if (image) {
        image->Type = VIPS_INTERPRETATION_sRGB;
        result = vips_calls.image_write_to_buffer(
            image, tile_save_suffix(live.info.tile_ext).c_str(), &buffer, &length,
            "strip", TRUE, nullptr);
        vips_calls.object_unref(image);
    }
    if (result != 0) {
        *why = std::string("encoding a web tile: ") + vips_calls.error_buffer();
        vips_calls.error_clear();
        return false;
    }
    bytes->assign(static_cast<const char *>(buffer), length);
    vips_calls.free_buffer(buffer);
    return true;
}

bool start_live_web(std::string *why)
{
    stop_live_web();
    if (!load_vips(why)) {
        *why = "libvips: " + *why;
        return false;
    }
    live.fd = open(WEB_FOLDER_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (live.fd < 0)
        return fail(why, "opening " + current_folder() + "/" + WEB_FOLDER_NAME, errno);
    if (!make_private_folder(live.fd, LIVE_STEM, &live.dir, why))
        return false;
    static bool exit_handler_set = false;
    if (!exit_handler_set)
        exit_handler_set = std::atexit(stop_live_web) == 0;
    live.info = published_web_map;
    live.info.following = true;
    live.levels.clear();
    live.history.clear();
    live.since = 0;
    return write_scripts(why);
}

void stop_live_web()
{
    discard_private_folder(&live.dir);
    if (live.fd >= 0)
        close(live.fd);
    live.fd = -1;
}

void sweep_web_leftovers()
{
    const int fd = open(WEB_FOLDER_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    sweep_private_leftovers(fd, LIVE_STEM);
    close(fd);
}

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
