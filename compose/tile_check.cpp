#include "tile_check.h"

#include <allegro.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <set>
#include <tuple>

#include "bitmap_size.h"
#include "compose.h"
#include "exit_signals.h"
#include "fatal_error.h"
#include "file_bound.h"
#include "image_header.h"
#include "memory_available.h"
#include "regular_file.h"
#include "run_folder.h"
#include "tile_place.h"
#include "world_layout.h"


namespace {

const char ACCEPTED_EXTENSIONS[] = "png, jpg or gif";
const char MAP_NAME_PREFIX[] = "map_zoom_";
const int64_t MIB = 1024 * 1024;
// JPEG and GIF files store each side of the image in 16 bits.
const int64_t SIXTEEN_BIT_SIDE = 65535;
const size_t COPY_BUFFER_BYTES = 1 << 16;
// Lines of tile-size warnings before the rest are only counted.
const int MAX_SIZE_WARNINGS = 10;

// The one message for a list of tiles in a format the maps cannot have.
[[noreturn]] void extension_refused(int world_number)
{
    fatal_error("Unsupported tile extension \"%s\" in %s.\n"
                "Tiles and maps must be %s (case aside); only the first 3 "
                "characters of the first tile's extension count.\n",
                tile_ext, change_list_path(appdata_path, world_number).c_str(),
                ACCEPTED_EXTENSIONS);
}

// Opens the tile at path and reads its header, then, when whole, walks a
// JPEG's structure; returns the descriptor, positioned after what was
// read, or -1 with *why.
int open_checked_tile(const std::string &path, bool whole, int64_t *w,
                      int64_t *h, std::string *why)
{
    int fd = open_regular_file(path.c_str(), why);
    if (fd < 0)
        return -1;
    const ImageFormat format = format_of_extension(tile_ext);
    const char *bad = "";
    if (!read_image_size(fd, format, false, w, h, &bad)) {
        *why = bad;
        close(fd);
        return -1;
    }
    if (!bitmap_fits(*w, *h, MAX_TILE_BYTES_PER_PIXEL)) {
        std::ostringstream s;
        s << "the header declares " << *w << " x " << *h
          << " pixels, more than the graphics library can hold";
        *why = s.str();
        close(fd);
        return -1;
    }
    // What a codec reads is bounded by the image, not by the file.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > image_file_max_bytes(*w, *h)) {
        std::ostringstream s;
        s << "the file holds " << st.st_size << " bytes, more than a " << *w
          << " x " << *h << " image can need (" << image_file_max_bytes(*w, *h)
          << ")";
        *why = s.str();
        close(fd);
        return -1;
    }
    if (whole && format == FORMAT_JPEG &&
        (lseek(fd, 0, SEEK_SET) != 0 ||
         !read_image_size(fd, format, true, w, h, &bad))) {
        *why = bad;
        close(fd);
        return -1;
    }
    return fd;
}

// The codecs open tiles by name and the registry picks them by the name's
// extension, so a tile checked by one open could be swapped for another
// file (a FIFO, a larger image) before the codec opens it again. Each
// tile is therefore loaded through a link of our own in a private folder,
// tile.<ext> -> /proc/self/fd/<fd>, with the checked descriptor moved to
// fd: opening the link opens the very file that was checked. Without
// /proc the same name in the folder is instead a private copy, made from
// the checked descriptor, of each tile in turn. The folder holds a lock
// while in use, so that a later run removes it only once this one is gone
// (see run_folder.h).
struct TileLink {
    pid_t owner;            // a forked child makes a link of its own
    char folder[PATH_MAX];  // empty: no folder could be made
    char path[PATH_MAX];
    char lock_path[PATH_MAX];
    int fd;
    int lock_fd;
    bool copies;            // no /proc: path is a copy, not a link
};
TileLink tile_link = {0, "", "", "", -1, -1, false};
const char TILE_FOLDER_PREFIX[] = "mapper-tiles-";
const char TILE_LINK_PREFIX[] = "tile.";

// Only calls that a signal handler may make.
void remove_tile_link()
{
    if (tile_link.owner != getpid())
        return;
    if (tile_link.path[0] != '\0')
        unlink(tile_link.path);
    if (tile_link.lock_path[0] != '\0')
        unlink(tile_link.lock_path);
    if (tile_link.folder[0] != '\0')
        rmdir(tile_link.folder);
    for (int fd : {tile_link.fd, tile_link.lock_fd})
        if (fd >= 0)
            close(fd);
    tile_link.path[0] = tile_link.lock_path[0] = tile_link.folder[0] = '\0';
    tile_link.fd = tile_link.lock_fd = -1;
}

// mkdtemp's names, and the links in them.
bool is_tile_folder(const char *name)
{
    return std::strncmp(name, TILE_FOLDER_PREFIX, sizeof TILE_FOLDER_PREFIX - 1) == 0 &&
           std::strlen(name) == sizeof TILE_FOLDER_PREFIX - 1 + 6;
}

bool is_tile_link(const char *, const char *file)
{
    return std::strncmp(file, TILE_LINK_PREFIX, sizeof TILE_LINK_PREFIX - 1) == 0;
}

// Removes the tile folders of runs that could not clean up, once a run.
void remove_dead_tile_folders(const std::string &base)
{
    static pid_t swept_by = 0;
    if (swept_by == getpid())
        return;
    swept_by = getpid();
    const int fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    remove_dead_run_folders(fd, is_tile_folder, is_tile_link);
    close(fd);
}

// Private whatever the umask, and locked; false if either fails.
bool claim_tile_folder()
{
    if (chmod(tile_link.folder, S_IRWXU) != 0)
        return false;
    const int fd = open(tile_link.folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    tile_link.lock_fd = lock_run_folder(fd);
    close(fd);
    if (tile_link.lock_fd >= 0)
        std::snprintf(tile_link.lock_path, sizeof tile_link.lock_path, "%s/%s",
                      tile_link.folder, RUN_LOCK_NAME);
    return true;
}

bool ends_with(const char *text, const std::string &tail)
{
    const size_t n = std::strlen(text);
    return n >= tail.size() && tail.compare(0, tail.size(), text + n - tail.size()) == 0;
}

std::string temporary_folder_base()
{
    const char *base = std::getenv("TMPDIR");
    return base && base[0] == '/' ? base : "/tmp";
}

// Links tile_link.path to a descriptor of ours, /dev/null for now;
// false, with nothing left, when the link does not lead there (no /proc).
bool link_to_descriptor()
{
    tile_link.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (tile_link.fd < 0)
        return false;
    const std::string target = "/proc/self/fd/" + std::to_string(tile_link.fd);
    struct stat st;
    if (symlink(target.c_str(), tile_link.path) == 0 &&
        stat(tile_link.path, &st) == 0 && S_ISCHR(st.st_mode))
        return true;
    unlink(tile_link.path);
    close(tile_link.fd);
    tile_link.fd = -1;
    return false;
}

// Makes the private folder and the link for the current extension, or
// sets copies when the system has no /proc. False, with *why, when no
// private folder can be made: a tile is then not loaded at all, since
// its own path could lead to another file by now.
bool make_tile_link(std::string *why)
{
    const std::string name = std::string("/tile.") + tile_ext;
    if (tile_link.owner == getpid() && ends_with(tile_link.path, name))
        return true;
    remove_tile_link();
    tile_link = {getpid(), "", "", "", -1, -1, false};
    static bool cleanup_registered = false;
    if (!cleanup_registered)
        cleanup_registered = std::atexit(remove_tile_link) == 0;
    add_exit_cleanup(remove_tile_link);

    const std::string base = temporary_folder_base();
    remove_dead_tile_folders(base);
    const std::string folder = base + "/" + TILE_FOLDER_PREFIX + "XXXXXX";
    if ((folder + name).size() >= sizeof tile_link.path) {
        *why = "no private folder to load it from: " + base + " is too long a path";
        return false;
    }
    // The exit-signal handler must not read the names half made.
    hold_exit_signals();
    std::strcpy(tile_link.folder, folder.c_str());
    const bool made = mkdtemp(tile_link.folder) != nullptr;
    const int made_errno = errno;
    if (made)
        std::strcpy(tile_link.path, (tile_link.folder + name).c_str());
    else
        tile_link.folder[0] = '\0';
    resume_exit_signals();
    if (!made) {
        *why = "no private folder to load it from in " + base + ": " +
               std::strerror(made_errno);
        return false;
    }
    if (!claim_tile_folder()) {
        *why = std::string("cannot make ") + tile_link.folder + " private: " +
               std::strerror(errno);
        remove_tile_link();
        return false;
    }
    tile_link.copies = !link_to_descriptor();
    return true;
}

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies the file open at fd into a new file at path that only we made.
bool copy_checked_tile(int fd, const char *path, std::string *why)
{
    const int out = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR);
    bool ok = out >= 0;
    static char buffer[COPY_BUFFER_BYTES];
    for (off_t at = 0; ok;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n == 0)
            break;
        ok = n > 0 && write_all(out, buffer, static_cast<size_t>(n));
        at += n;
    }
    if (out >= 0 && close(out) != 0)
        ok = false;
    if (!ok)
        *why = std::string("copying it to ") + path + ": " + std::strerror(errno);
    return ok;
}

// Why the registry gave no tile: the codec's own reason when it left one
// in allegro_error, else running out of memory, else the data.
std::string load_failure(int64_t w, int64_t h)
{
    if (allegro_error[0] != '\0')
        return allegro_error;
    if (errno == ENOMEM || (allegro_errno && *allegro_errno == ENOMEM)) {
        std::ostringstream s;
        s << "out of memory: its " << w << " x " << h << " pixels need up to "
          << bitmap_bytes(w, h, MAX_TILE_BYTES_PER_PIXEL) / MIB
          << " MB, which the system did not give";
        return s.str();
    }
    return "its data cannot be decoded";
}

// A failed load leaves these, not what an earlier call left.
void clear_load_errors()
{
    allegro_error[0] = '\0';
    errno = 0;
    if (allegro_errno)
        *allegro_errno = 0;
}

// What a map's format allows and its saver needs: each side's limit,
// and the bytes a pixel of the copy of the whole map that the saver
// makes (a 32-bit one for JPEG, an 8-bit one for GIF; 0: none).
struct MapFormatRule {
    const char *format;
    int64_t width, height;
    const char *why;
    int copy_bytes_per_pixel;
};

MapFormatRule map_format_rule()
{
    switch (format_of_extension(tile_ext)) {
    case FORMAT_JPEG:
        return {"JPEG", SIXTEEN_BIT_SIDE, SIXTEEN_BIT_SIDE,
                "the file stores each side in 16 bits", 4};
    case FORMAT_GIF:
        return {"GIF", SIXTEEN_BIT_SIDE, SIXTEEN_BIT_SIDE,
                "the file stores each side in 16 bits", 1};
    case FORMAT_PNG:
        return {"PNG", std::min<int64_t>(PNG_USER_WIDTH_MAX, PNG_UINT_31_MAX),
                std::min<int64_t>(PNG_USER_HEIGHT_MAX, PNG_UINT_31_MAX),
                "libpng writes no larger image", 0};
    default:
        return {"", INT64_MAX, INT64_MAX, "", 0};
    }
}

// Ends the process when the map of zoom level zoom, w x h pixels, is
// larger than its format can hold or its saver's copy can be.
void check_map_format(int zoom, int64_t w, int64_t h)
{
    const MapFormatRule rule = map_format_rule();
    if (w > rule.width || h > rule.height)
        fatal_error("Error creating %s\nThe map of zoom level %d would be %lld "
                    "x %lld pixels; a %s map is at most %lld pixels wide and "
                    "%lld high (%s).\n",
                    map_name(zoom).c_str(), zoom, static_cast<long long>(w),
                    static_cast<long long>(h), rule.format,
                    static_cast<long long>(rule.width),
                    static_cast<long long>(rule.height), rule.why);
    const int copy = rule.copy_bytes_per_pixel;
    if (copy > 0 && !bitmap_fits(w, h, copy))
        fatal_error("Error creating %s\nThe map of zoom level %d would be %lld "
                    "x %lld pixels; the %s saver copies a map into a bitmap of "
                    "%d bytes per pixel, which the graphics library holds up "
                    "to %lld pixels.\n",
                    map_name(zoom).c_str(), zoom, static_cast<long long>(w),
                    static_cast<long long>(h), rule.format, copy,
                    static_cast<long long>(bitmap_max_pixels(copy)));
}

}  // namespace

std::string listed_tile_path(int world_number, const TileEntry &t)
{
    return tile_path(appdata_path, world_number, t, tile_ext);
}

void sample_tile_failed(const std::string &what)
{
    fatal_error("Error loading sample bitmap.\n%s\n", what.c_str());
}

void tile_failed(const std::string &path, const std::string &why)
{
    fatal_error("Error loading %s\n%s\n", path.c_str(), why.c_str());
}

std::vector<CheckedTile> check_listed_tiles(int world_number)
{
    if (tile_list.empty())
        sample_tile_failed("no tile is listed in " +
                           change_list_path(appdata_path, world_number));
    if (format_of_extension(tile_ext) == FORMAT_OTHER)
        extension_refused(world_number);

    std::vector<CheckedTile> tiles;
    std::set<std::tuple<int32_t, int32_t, int32_t>> seen;
    for (const TileEntry &t : tile_list) {
        if (!seen.insert(std::make_tuple(t.zoom, t.x, t.y)).second)
            continue;
        CheckedTile c = {t, listed_tile_path(world_number, t), 0, 0};
        std::string why;
        int fd = open_checked_tile(c.path, true, &c.width, &c.height, &why);
        if (fd < 0) {
            if (tiles.empty())
                sample_tile_failed(c.path + ": " + why);
            tile_failed(c.path, why);
        }
        close(fd);
        tiles.push_back(c);
    }
    return tiles;
}

std::string map_name(int zoom)
{
    return MAP_NAME_PREFIX + std::to_string(zoom) + "." + tile_ext;
}

BITMAP *load_checked_tile(const std::string &path, std::string *why)
{
    // The structure was walked by check_listed_tiles; the header again
    // guards the size, and the codec guards the rest itself.
    int64_t w = 0, h = 0;
    int fd = open_checked_tile(path, false, &w, &h, why);
    if (fd < 0)
        return nullptr;
    if (!make_tile_link(why)) {
        close(fd);
        return nullptr;
    }
    BITMAP *tile = nullptr;
    if (tile_link.copies) {
        if (copy_checked_tile(fd, tile_link.path, why)) {
            clear_load_errors();
            tile = load_map_tile(tile_link.path, fd);
            if (!tile)
                *why = load_failure(w, h);
        }
        unlink(tile_link.path);
        close(fd);
        return tile;
    }
    // dup3, not dup2: the copy must not outlive an exec (the message box).
    if (dup3(fd, tile_link.fd, O_CLOEXEC) != tile_link.fd) {
        *why = std::string("cannot hold it open: ") + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    close(fd);
    clear_load_errors();
    tile = load_map_tile(tile_link.path, tile_link.fd);
    if (!tile)
        *why = load_failure(w, h);
    return tile;
}

void finish_tile_loads() { remove_tile_link(); }

void warn_tile_sizes(const std::vector<CheckedTile> &tiles, int32_t tile_size)
{
    int others = 0;
    for (const CheckedTile &t : tiles) {
        if (t.width == tile_size && t.height == tile_size)
            continue;
        if (++others > MAX_SIZE_WARNINGS)
            continue;
        std::fprintf(stderr,
                     "Warning: %s is %lld x %lld pixels; tiles are placed as "
                     "%d x %d squares, the first tile's width.\n",
                     t.path.c_str(), static_cast<long long>(t.width),
                     static_cast<long long>(t.height), tile_size, tile_size);
    }
    if (others > MAX_SIZE_WARNINGS)
        std::fprintf(stderr, "Warning: %d more tiles are not %d x %d pixels.\n",
                     others - MAX_SIZE_WARNINGS, tile_size, tile_size);
}

void map_size(int zoom, int64_t *width, int64_t *height)
{
    *width = (static_cast<int64_t>(ZoomBounds.zoom_max_x[zoom]) -
              ZoomBounds.zoom_min_x[zoom] + 1) * tile_size;
    *height = (static_cast<int64_t>(ZoomBounds.zoom_max_y[zoom]) -
               ZoomBounds.zoom_min_y[zoom] + 1) * tile_size;
}

void check_map_memory(int bytes_per_pixel)
{
    int64_t total = 0, w = 0, h = 0;
    int largest = 0;
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        map_size(z, &w, &h);
        if (!bitmap_fits(w, h, bytes_per_pixel))
            fatal_error("Error creating map bitmap.\nThe map of zoom level %d "
                        "would be %lld x %lld pixels; a bitmap of the graphics "
                        "library holds at most %lld pixels at %d bytes per "
                        "pixel.\n",
                        z, static_cast<long long>(w), static_cast<long long>(h),
                        static_cast<long long>(bitmap_max_pixels(bytes_per_pixel)),
                        bytes_per_pixel);
        check_map_format(z, w, h);
        int64_t lw = 0, lh = 0;
        map_size(largest, &lw, &lh);
        if (w * h > lw * lh)
            largest = z;
        total += bitmap_bytes(w, h, bytes_per_pixel);
    }
    // All maps are held until the last is saved, and the saver's copy
    // of one of them while it is written.
    map_size(largest, &w, &h);
    const MapFormatRule rule = map_format_rule();
    const int64_t copy = bitmap_bytes(w, h, rule.copy_bytes_per_pixel);
    std::string source;
    const int64_t available = memory_available(&source);
    if (available < 0 || total + copy <= available)
        return;
    std::string saver;
    if (copy > 0)
        saver = " and the " + std::string(rule.format) + " saver " +
                std::to_string(copy / MIB) + " MB more for its copy of the largest";
    fatal_error("Error creating map bitmap.\nThe maps of zoom levels 0 to %d "
                "need %lld MB together (the largest, zoom level %d, is %lld x "
                "%lld pixels)%s, more than the %lld MB of memory available "
                "(%s).\n",
                ZoomBounds.max_zoom, static_cast<long long>(total / MIB),
                largest, static_cast<long long>(w), static_cast<long long>(h),
                saver.c_str(), static_cast<long long>(available / MIB),
                source.c_str());
}

void map_bitmap_failed(int zoom, int bytes_per_pixel)
{
    int64_t w = 0, h = 0;
    map_size(zoom, &w, &h);
    fatal_error("Error creating map bitmap.\nThe map of zoom level %d, %lld x "
                "%lld pixels (%lld MB), could not be allocated.\n",
                zoom, static_cast<long long>(w), static_cast<long long>(h),
                static_cast<long long>(bitmap_bytes(w, h, bytes_per_pixel) / MIB));
}
