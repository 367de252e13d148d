#include "web_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>
#include <thread>
#include <vector>

#include "exit_signals.h"
#include "fatal_error.h"
#include "file_io.h"
#include "private_names.h"
#include "private_output.h"
#include "pyramid_cut.h"
#include "vips_library.h"
#include "web_page.h"

// The run's side of the web map: which level is cut when, into which
// folder, and when the whole is published; the page's files are
// web_page.h's. The folder is a private folder of the run in the output
// folder (private_output.h), and everything in it is created relative to
// its descriptor (libvips's relative names resolve in it through fchdir
// or /proc), so nobody else can plant a link where we write. Once whole
// it is published with the page, in place of the older folder, whose
// tree is then removed. An existing map_web that lacks our levels.js is
// not ours and is left alone, and the page is not written.

const bool WEB_MAP_BUILT = true;
const char WEB_PAGE_NAME[] = "map.html";
const char WEB_FOLDER_NAME[] = "map_web";

namespace {

struct WebMap {
    int background[3] = {0, 0, 0};
    int out_fd = -1;
    std::string out_path;   // the output folder, for messages
    PrivateFolder dir;      // the unfinished web map
    int folder_fd = -1;     // dir.fd and dir.name while it is unfinished
    std::string folder;
    std::string tile_ext;
    std::string title;      // the page's, naming the world
    std::vector<WebLevel> levels;
    std::string failure;
};
WebMap web;

// The level being cut, at most one at a time.
struct LevelCut {
    CanvasRegion region;  // region.canvas is set while a cut is under way
    WebLevel level;       // what the page is told of it
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
    web.out_path = current_folder();
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

// The unfinished folder, as the page's writer names it.
PageFolder page_folder() { return {web.folder_fd, web.out_path}; }

// A failure of the page's writer, unless an earlier one is reported.
bool page_failed(const std::string &why)
{
    if (web.failure.empty())
        web.failure = why;
    return false;
}

bool folder_ready()
{
    if (web.folder_fd >= 0)
        return true;
    std::string why;
    return make_web_folder() &&
           (write_leaflet(page_folder(), &why) || page_failed(why));
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

// Cuts the level's region into target; *why names the map, the output
// folder and the reason.
bool cut_level(const LevelCut &c, const std::string &target, std::string *why)
{
    if (cut_pyramid(c.region, web.folder_fd, pyramid_name(c.level.zoom), target,
                    web.tile_ext, web.background, why))
        return true;
    *why = "cutting the web tiles of " + c.level.map_name + " for " +
           WEB_FOLDER_NAME + " in " + web.out_path + ": " + *why;
    return false;
}

bool cut_from_inside(const LevelCut &c, std::string *why)
{
    if (fchdir(web.folder_fd) != 0) {
        *why = "entering the unfinished " + std::string(WEB_FOLDER_NAME) + " in " +
               web.out_path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = cut_level(c, pyramid_name(c.level.zoom), why);
    if (fchdir(web.out_fd) != 0 && ok) {
        *why = std::string("returning to the output folder: ") + std::strerror(errno);
        return false;
    }
    return ok;
}

// Ends the level's cut: waits for it, then notes its tiles.
void finish_cut()
{
    if (!cutting.region.canvas)
        return;
    if (cutting.thread.joinable())
        cutting.thread.join();
    if (cutting.ok) {
        // Which tiles libvips wrote (it leaves out those wholly background).
        note_cut_tiles(web.folder_fd, web.tile_ext, &cutting.level);
        web.levels.push_back(cutting.level);
        std::cout << "Cutting web tiles for " << cutting.level.map_name << " done"
                  << std::endl;
    } else {
        if (web.failure.empty())
            web.failure = cutting.why;
        // Its room goes back to the maps still to be saved.
        remove_unfinished();
    }
    cutting.region.canvas = nullptr;
}

// The description the page reads, as it stands now.
WebMapInfo web_info()
{
    WebMapInfo info;
    info.title = web.title;
    std::copy(web.background, web.background + 3, info.background);
    info.tile_ext = web.tile_ext;
    info.levels = web.levels;
    // Tells this run's map from the one a page may have open.
    const std::string::size_type tag = web.folder.find(PART_TAG);
    info.run = tag == std::string::npos
                   ? web.folder
                   : web.folder.substr(tag + std::strlen(PART_TAG));
    return info;
}

bool publish()
{
    published_web_map = web_info();
    std::string why;
    if (!write_page(page_folder(), published_web_map, &why))
        return page_failed(why);
    // The page is the same in every run: it is moved beside the folder
    // first, once the older folder is known to be ours.
    const FolderPublication publication = {WEB_FOLDER_NAME, "web map",
                                           is_whole_web_map, WEB_PAGE_NAME};
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
    std::string why;
    if (!leaflet_at_hand(&why))
        fatal_error("Error starting the web map.\n%s\n", why.c_str());
    if (!load_vips(&why))
        fatal_error("Error starting the web map.\nlibvips: %s\n", why.c_str());
}

void cut_web_level(BITMAP *canvas, int zoom, const char *map_name,
                   WebTileFormat tiles, int min_column, int min_row, int tile_size)
{
    finish_cut();
    if (!web.failure.empty())
        return;
    std::cout << "Cutting web tiles for " << map_name << std::endl;
    web.tile_ext = tiles == WEB_TILES_JPEG ? "jpg" : "png";
    if (!folder_ready())
        return;
    CanvasRegion &r = cutting.region;
    web_level_region(canvas, zoom, map_name, min_column, min_row, tile_size,
                     &cutting.level, &r.x, &r.y);
    r.canvas = canvas;
    r.width = cutting.level.width;
    r.height = cutting.level.height;
    cutting.why.clear();
    const std::string by_fd = "/proc/self/fd/" + std::to_string(web.folder_fd);
    if (folder_named_by(by_fd)) {
        const std::string target = by_fd + "/" + pyramid_name(zoom);
        try {
            cutting.thread = std::thread([target] {
                cutting.ok = cut_level(cutting, target, &cutting.why);
            });
        } catch (const std::system_error &e) {
            // No memory for a thread's stack: the web map fails, maps go on.
            cutting.ok = false;
            cutting.why = "starting the cut of " + cutting.level.map_name + ": " +
                          e.code().message();
        }
    } else {
        cutting.ok = cut_from_inside(cutting, &cutting.why);
    }
}

void name_web_map(const std::string &title) { web.title = title; }

bool web_map_gives_way(const char *map_name, const char *why)
{
    if (cutting.region.canvas) {
        if (cutting.thread.joinable())
            cutting.thread.join();
        // A cut that failed on its own says why.
        if (!cutting.ok && web.failure.empty())
            web.failure = cutting.why;
        cutting.region.canvas = nullptr;
    }
    if (web.folder.empty())
        return false;
    remove_unfinished();
    // The system's reason ends the save's message, after its path.
    const char *reason = std::strrchr(why, ':');
    if (web.failure.empty())
        web.failure = "no room for it beside " + std::string(map_name) + " in " +
                      web.out_path + ", and the maps come first: " +
                      (reason && reason[1] == ' ' ? reason + 2 : why);
    return true;
}

void release_web_canvas(BITMAP *canvas)
{
    if (cutting.region.canvas == canvas)
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
