#include "web_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "exit_signals.h"
#include "fatal_error.h"
#include "file_io.h"
#include "private_names.h"
#include "private_output.h"
#include "web_page.h"

// How the folder reaches the disk. It is a private folder of the run in
// the output folder (private_output.h), and everything in it is created
// relative to its descriptor (libvips's relative names resolve in it
// through fchdir or /proc), so nobody else can plant a link where we
// write. Once whole it is published with the page, in place of the older
// folder, whose tree is then removed. An existing map_web that lacks our
// levels.js is not ours and is left alone, and the page is not written.

const char WEB_PAGE_NAME[] = "map.html";
const char WEB_FOLDER_NAME[] = "map_web";

namespace {

// Leaflet's files as Debian installs them, and where the page finds them.
struct CopiedFile {
    const char *from;
    const char *to;
};
const CopiedFile LEAFLET_FILES[] = {
    {"leaflet.min.js", "leaflet.js"},
    {"leaflet.css", "leaflet.css"},
    {"images/layers.png", "images/layers.png"},
    {"images/layers-2x.png", "images/layers-2x.png"},
    {"images/marker-icon.png", "images/marker-icon.png"},
    {"images/marker-icon-2x.png", "images/marker-icon-2x.png"},
    {"images/marker-shadow.png", "images/marker-shadow.png"},
};
const char LEAFLET_IMAGES[] = "images";
// Written last: its presence marks a folder as one of ours.
const char LEVELS_SCRIPT[] = "levels.js";
const char VIEW_SCRIPT[] = "map.js";
const char FOLLOW_SCRIPT[] = "follow.js";

const int JPEG_TILE_QUALITY = 75;
// As the PNG maps: level 1 costs a fraction of the default's time.
const int PNG_TILE_COMPRESSION = 1;
// Skips a tile only when every pixel equals the background exactly.
const int SKIP_EXACT_BACKGROUND = 0;

const char NO_VIPS_MODULES_HOME[] = "/nonexistent";
const int VIPS_WORKERS = 1;
const int MALLOC_ARENAS = 1;

const mode_t NEW_FILE_MODE = 0666;
const mode_t NEW_FOLDER_MODE = 0777;
const size_t COPY_BUFFER = 1 << 16;

struct WebMap {
    int background[3] = {0, 0, 0};
    int out_fd = -1;
    PrivateFolder dir;      // the unfinished web map
    int folder_fd = -1;     // dir.fd and dir.name while it is unfinished
    std::string folder;
    std::string tile_ext;
    std::vector<WebLevel> levels;
    std::string failure;
};
WebMap web;

// The region of each level's canvas that the web map shows, in grid
// cells, where set_web_region named one; otherwise the whole canvas.
struct WebRegion {
    bool set = false;
    int first_column = 0, first_row = 0, last_column = 0, last_row = 0;
};
WebRegion regions[WEB_REGION_SLOTS];

// The level being cut, at most one at a time.
struct LevelCut {
    BITMAP *canvas = nullptr;
    int zoom = 0;
    std::string map_name;
    int min_column = 0, min_row = 0, tile_size = 0;
    int x = 0, y = 0, width = 0, height = 0;  // the region shown, in pixels
    std::thread thread;
    bool ok = false;
    std::string why;
};
LevelCut cutting;

bool fail(const std::string &what, int err)
{
    if (web.failure.empty())
        web.failure = what + ": " + std::strerror(err);
    return false;
}

void remove_unfinished()
{
    discard_private_folder(&web.dir);
    web.folder.clear();
    web.folder_fd = -1;
}

// Our levels.js marks a whole web map of ours.
bool is_whole_web_map(int fd)
{
    struct stat st;
    return fstatat(fd, LEVELS_SCRIPT, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

// An exit in mid-run (a fatal error) leaves no unfinished folder. A cut
// still running is waited for first: libvips aborts when a folder it
// writes into goes.
void discard_at_exit()
{
    if (cutting.thread.joinable()) {
        if (cutting.thread.get_id() == std::this_thread::get_id()) {
            cutting.thread.detach();
            return;
        }
        cutting.thread.join();
    }
    remove_unfinished();
}

bool make_web_folder()
{
    web.out_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (web.out_fd < 0)
        return fail("opening the output folder " + current_folder(), errno);
    std::string why;
    if (!make_private_folder(web.out_fd, WEB_FOLDER_NAME, &web.dir, &why,
                             is_whole_web_map)) {
        web.failure = why;
        return false;
    }
    web.folder = web.dir.name;
    web.folder_fd = web.dir.fd;
    static bool exit_handler_set = false;
    if (!exit_handler_set)
        exit_handler_set = std::atexit(discard_at_exit) == 0;
    return true;
}

// Creates name in the folder, which must not exist, with data.
bool write_new_file(const std::string &name, const std::string &data)
{
    const int fd = openat(web.folder_fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          NEW_FILE_MODE);
    if (fd < 0)
        return fail("creating " + web.folder + "/" + name, errno);
    // Explicitly: libgsf sets the process umask to 0 for a moment while
    // it writes a tile. Fixed-mode file systems ignore it.
    fchmod(fd, user_file_mode());
    const bool ok = write_all(fd, data.data(), data.size());
    const int err = errno;
    if (close(fd) != 0 && ok)
        return fail("writing " + web.folder + "/" + name, errno);
    return ok || fail("writing " + web.folder + "/" + name, err);
}

bool read_whole_file(const std::string &path, std::string *data)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> buf(COPY_BUFFER);
    ssize_t n;
    data->clear();
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        data->append(buf.data(), static_cast<size_t>(n));
    const int err = errno;
    close(fd);
    errno = err;
    return n == 0;
}

bool copy_leaflet()
{
    if (mkdirat(web.folder_fd, LEAFLET_IMAGES, NEW_FOLDER_MODE) != 0)
        return fail("creating " + web.folder + "/" + LEAFLET_IMAGES, errno);
    const int images = openat(web.folder_fd, LEAFLET_IMAGES,
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (images >= 0) {
        fchmod(images, user_folder_mode());
        close(images);
    }
    for (const CopiedFile &f : LEAFLET_FILES) {
        const std::string from = std::string(LEAFLET_DIR) + "/" + f.from;
        std::string data;
        if (!read_whole_file(from, &data))
            return fail("reading " + from, errno);
        if (!write_new_file(f.to, data))
            return false;
    }
    return true;
}

bool folder_ready()
{
    if (web.folder_fd >= 0)
        return true;
    return make_web_folder() && copy_leaflet();
}

// The byte of each of red, green and blue within a pixel of canvas, from
// the library's shifts for its depth (B, G, R in memory for its usual
// 24-bit layout on little-endian machines).
bool channel_bytes(BITMAP *canvas, int *bytes, int index[3])
{
    const int depth = bitmap_color_depth(canvas);
    int shifts[3];
    if (depth == 24) {
        shifts[0] = _rgb_r_shift_24;
        shifts[1] = _rgb_g_shift_24;
        shifts[2] = _rgb_b_shift_24;
    } else if (depth == 32) {
        shifts[0] = _rgb_r_shift_32;
        shifts[1] = _rgb_g_shift_32;
        shifts[2] = _rgb_b_shift_32;
    } else {
        return false;
    }
    *bytes = depth / 8;
    for (int c = 0; c < 3; ++c) {
        const int little = shifts[c] / 8;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        index[c] = (depth == 24 ? 2 : 3) - little;
#else
        index[c] = little;
#endif
    }
    return true;
}

// The canvas as an RGB image for libvips, over the canvas's own memory:
// rows must follow each other without gaps, as in a memory bitmap.
VipsImage *canvas_image(BITMAP *canvas)
{
    int bytes = 0, index[3];
    if (!channel_bytes(canvas, &bytes, index))
        return nullptr;
    const size_t row = static_cast<size_t>(canvas->w) * bytes;
    if (canvas->h > 1 && canvas->line[1] != canvas->line[0] + row)
        return nullptr;
    VipsImage *raw = vips_image_new_from_memory(
        canvas->line[0], row * canvas->h, canvas->w, canvas->h, bytes,
        VIPS_FORMAT_UCHAR);
    if (!raw)
        return nullptr;
    VipsImage *band[3] = {nullptr, nullptr, nullptr};
    VipsImage *rgb = nullptr;
    bool ok = true;
    for (int c = 0; c < 3 && ok; ++c)
        ok = vips_extract_band(raw, &band[c], index[c], nullptr) == 0;
    if (ok && vips_bandjoin(band, &rgb, 3, nullptr) == 0)
        rgb->Type = VIPS_INTERPRETATION_sRGB;
    for (VipsImage *b : band)
        if (b)
            g_object_unref(b);
    g_object_unref(raw);
    return rgb;
}

// The first line of libvips's errors: the later ones repeat it or add
// less clear echoes ("unix error: Unknown error -1").
std::string vips_reason()
{
    std::string why = vips_error_buffer();
    vips_error_clear();
    why = why.substr(0, why.find('\n'));
    return why.empty() ? "libvips gave no reason" : why;
}

}  // namespace

std::string web_tile_suffix()
{
    return web.tile_ext == "jpg"
               ? ".jpg[Q=" + std::to_string(JPEG_TILE_QUALITY) + "]"
               : ".png[compression=" + std::to_string(PNG_TILE_COMPRESSION) + "]";
}

bool cut_web_pyramid(BITMAP *canvas, int x, int y, int width, int height,
                     const std::string &target, const std::string &where,
                     std::string *why)
{
    VipsImage *whole = canvas_image(canvas);
    VipsImage *image = nullptr;
    if (whole && vips_extract_area(whole, &image, x, y, width, height, nullptr) != 0)
        image = nullptr;
    if (whole)
        g_object_unref(whole);
    if (!image) {
        *why = "cutting " + where + ": the canvas's pixel layout is not one "
               "libvips can read";
        return false;
    }
    const std::string suffix = web_tile_suffix();
    VipsArrayDouble *background = vips_array_double_newv(
        3, static_cast<double>(web.background[0]),
        static_cast<double>(web.background[1]),
        static_cast<double>(web.background[2]));
    errno = 0;
    const int result = vips_dzsave(
        image, target.c_str(), "layout", VIPS_FOREIGN_DZ_LAYOUT_GOOGLE,
        "tile_size", WEB_TILE_SIZE, "overlap", 0, "suffix", suffix.c_str(),
        "skip_blanks", SKIP_EXACT_BACKGROUND, "background", background,
        nullptr);
    const int save_errno = errno;
    vips_area_unref(VIPS_AREA(background));
    g_object_unref(image);
    if (result == 0)
        return true;
    *why = "cutting " + where + ": " + vips_reason();
    // libvips's text may lack the system's reason for a failed write.
    if (save_errno != 0 && why->find(std::strerror(save_errno)) == std::string::npos)
        *why += " (" + std::string(std::strerror(save_errno)) + ")";
    return false;
}

namespace {

bool cut_pyramid(const LevelCut &c, const std::string &target,
                 const std::string &where, std::string *why)
{
    return cut_web_pyramid(c.canvas, c.x, c.y, c.width, c.height, target, where,
                           why);
}

// Where the kernel names an open folder by its descriptor, libvips can
// write through that name from another thread while the map's save has
// the process's working folder elsewhere; without /proc the cut runs
// after the save, from inside the folder.
bool folder_named_by(const std::string &path)
{
    struct stat by_path, by_fd;
    return stat(path.c_str(), &by_path) == 0 &&
           fstat(web.folder_fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
           by_path.st_ino == by_fd.st_ino;
}

bool cut_from_inside(int zoom, std::string *why)
{
    const std::string where = web.folder + "/" + pyramid_name(zoom);
    if (fchdir(web.folder_fd) != 0) {
        *why = "entering " + web.folder + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = cut_pyramid(cutting, pyramid_name(zoom), where, why);
    if (fchdir(web.out_fd) != 0 && ok) {
        *why = std::string("returning to the output folder: ") + std::strerror(errno);
        return false;
    }
    return ok;
}

// Which tiles libvips wrote at each pyramid level (it leaves out those
// wholly background).
void record_level(const LevelCut &c)
{
    WebLevel l;
    l.zoom = c.zoom;
    l.map_name = c.map_name;
    l.width = c.width;
    l.height = c.height;
    l.min_column = c.min_column;
    l.min_row = c.min_row;
    l.tile_size = c.tile_size;
    size_pyramid(&l);
    for (int k = 0; k <= l.depth; ++k)
        for (int y = 0; y < l.rows[k]; ++y)
            for (int x = 0; x < l.columns[k]; ++x) {
                const std::string tile =
                    web_tile_path(l.zoom, k, y, x, web.tile_ext);
                struct stat st;
                l.cut[k][static_cast<size_t>(y) * l.columns[k] + x] =
                    fstatat(web.folder_fd, tile.c_str(), &st,
                            AT_SYMLINK_NOFOLLOW) == 0;
            }
    web.levels.push_back(l);
}

// Ends the level's cut: waits for it, then notes its tiles.
void finish_cut()
{
    if (!cutting.canvas)
        return;
    if (cutting.thread.joinable())
        cutting.thread.join();
    if (cutting.ok) {
        record_level(cutting);
        std::cout << "Cutting web tiles for " << cutting.map_name << " done"
                  << std::endl;
    } else {
        if (web.failure.empty())
            web.failure = cutting.why;
        // Its room goes back to the maps still to be saved.
        remove_unfinished();
    }
    cutting.canvas = nullptr;
}

// The description the page reads, as it stands now.
WebMapInfo web_info()
{
    WebMapInfo info;
    for (int c = 0; c < 3; ++c)
        info.background[c] = web.background[c];
    info.tile_ext = web.tile_ext;
    info.levels = web.levels;
    // Tells this run's map from the one a page may have open.
    const std::string::size_type tag = web.folder.find(PART_TAG);
    info.run = tag == std::string::npos ? web.folder
                                        : web.folder.substr(tag + std::strlen(PART_TAG));
    return info;
}

bool publish()
{
    published_web_map = web_info();
    if (!write_new_file(VIEW_SCRIPT, WEB_VIEW_SCRIPT) ||
        !write_new_file(FOLLOW_SCRIPT, WEB_FOLLOW_SCRIPT) ||
        !write_new_file(WEB_PAGE_NAME, WEB_PAGE_HTML) ||
        !write_new_file(LEVELS_SCRIPT, levels_script(published_web_map)))
        return false;
    // The page is the same in every run: it is moved beside the folder
    // first, once the older folder is known to be ours.
    const FolderPublication publication = {WEB_FOLDER_NAME, "web map",
                                           is_whole_web_map, WEB_PAGE_NAME};
    std::string why;
    const bool ok = publish_folder(&web.dir, publication, &why);
    if (!ok && web.failure.empty())
        web.failure = why;
    web.folder.clear();
    web.folder_fd = -1;
    return ok;
}

}  // namespace

void start_web_map(int background_r, int background_g, int background_b)
{
    web.background[0] = background_r;
    web.background[1] = background_g;
    web.background[2] = background_b;
    for (const CopiedFile &f : LEAFLET_FILES) {
        const std::string path = std::string(LEAFLET_DIR) + "/" + f.from;
        if (access(path.c_str(), R_OK) != 0)
            fatal_error("Error starting the web map.\nLeaflet's %s: %s "
                        "(Debian's libjs-leaflet installs it).\n",
                        path.c_str(), std::strerror(errno));
    }
    // The cut needs only libvips's own PNG and JPEG savers. Its optional
    // loaders (ImageMagick, PDF, HEIF, ...) cost 6 MB at start-up: with
    // VIPSHOME at Debian's folder that never exists, it finds none.
    setenv("VIPSHOME", NO_VIPS_MODULES_HOME, 0);
    if (VIPS_INIT("mapper") != 0)
        fatal_error("Error starting the web map.\nlibvips: %s\n",
                    vips_reason().c_str());
    // The canvases are freed after their cut: nothing is worth caching.
    vips_cache_set_max(0);
    // One worker: the tiles are written one at a time anyway, and the
    // map's save has the other core.
    vips_concurrency_set(VIPS_WORKERS);
    // libvips's threads then allocate from the main heap, which they leave
    // to the next level's cut, rather than each keeping an arena of its
    // own: 3 MB less at the peak, beside the canvas.
    mallopt(M_ARENA_MAX, MALLOC_ARENAS);
}

void cut_web_level(BITMAP *canvas, int zoom, const char *map_name,
                   int min_column, int min_row, int tile_size)
{
    finish_cut();
    if (!web.failure.empty())
        return;
    std::cout << "Cutting web tiles for " << map_name << std::endl;
    const std::string name = map_name;
    const std::string::size_type dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    web.tile_ext = ext == "jpg" ? "jpg" : "png";
    if (!folder_ready())
        return;
    cutting.canvas = canvas;
    cutting.zoom = zoom;
    cutting.map_name = map_name;
    cutting.min_column = min_column;
    cutting.min_row = min_row;
    cutting.tile_size = tile_size;
    WebLevel shown;
    web_level_region(canvas, zoom, map_name, min_column, min_row, tile_size,
                     &shown, &cutting.x, &cutting.y);
    cutting.min_column = shown.min_column;
    cutting.min_row = shown.min_row;
    cutting.width = shown.width;
    cutting.height = shown.height;
    cutting.why.clear();
    const std::string by_fd = "/proc/self/fd/" + std::to_string(web.folder_fd);
    if (folder_named_by(by_fd)) {
        const std::string where = web.folder + "/" + pyramid_name(zoom);
        const std::string target = by_fd + "/" + pyramid_name(zoom);
        cutting.thread = std::thread([target, where] {
            cutting.ok = cut_pyramid(cutting, target, where, &cutting.why);
        });
    } else {
        cutting.ok = cut_from_inside(zoom, &cutting.why);
    }
}

void web_level_region(BITMAP *canvas, int zoom, const char *map_name,
                      int min_column, int min_row, int tile_size,
                      WebLevel *level, int *x, int *y)
{
    level->zoom = zoom;
    level->map_name = map_name;
    level->tile_size = tile_size;
    level->min_column = min_column;
    level->min_row = min_row;
    level->width = canvas->w;
    level->height = canvas->h;
    *x = *y = 0;
    const WebRegion *r = zoom >= 0 && zoom < WEB_REGION_SLOTS ? &regions[zoom] : nullptr;
    if (r && r->set) {
        level->min_column = r->first_column;
        level->min_row = r->first_row;
        *x = (r->first_column - min_column) * tile_size;
        *y = (r->first_row - min_row) * tile_size;
        level->width = std::min(canvas->w - *x,
                                (r->last_column - r->first_column + 1) * tile_size);
        level->height = std::min(canvas->h - *y,
                                 (r->last_row - r->first_row + 1) * tile_size);
    }
}

void set_web_region(int zoom, int first_column, int first_row, int last_column,
                    int last_row)
{
    if (zoom < 0 || zoom >= WEB_REGION_SLOTS)
        return;
    regions[zoom] = {true, first_column, first_row, last_column, last_row};
}

void release_web_canvas(BITMAP *canvas)
{
    if (cutting.canvas == canvas)
        finish_cut();
}

bool finish_web_map(std::string *why)
{
    finish_cut();
    const bool ok = web.failure.empty() && folder_ready() && publish();
    if (!ok && why)
        *why = web.failure;
    remove_unfinished();
    if (web.out_fd >= 0)
        close(web.out_fd);
    web.out_fd = -1;
    web.levels.clear();
    web.failure.clear();
    return ok;
}
