#include "tile_load.h"

#include <allegro.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "bitmap_size.h"
#include "exit_signals.h"
#include "file_io.h"
#include "private_output.h"
#include "tile_check.h"
#include "tile_place.h"
#include "tile_types.h"

namespace {

const size_t COPY_BUFFER_BYTES = 1 << 16;

// The codecs open tiles by name and the registry picks them by the name's
// extension, so a tile checked by one open could be swapped for another
// file (a FIFO, a larger image) before the codec opens it again. Each
// tile is therefore loaded through a link of our own in a private folder
// of the run in $TMPDIR (private_output.h), tile.<ext> -> /proc/self/fd/<fd>,
// with the checked descriptor moved to fd: opening the link opens the
// very file that was checked. Without /proc the same name in the folder
// is instead a private copy, made from the checked descriptor, of each
// tile in turn.
struct TileLink {
    pid_t owner = 0;        // a forked child makes a link of its own
    int base_fd = -1;       // $TMPDIR
    PrivateFolder folder;   // name empty: no folder could be made
    std::string path;       // the link (or copy) by its full path
    int fd = -1;
    bool copies = false;    // no /proc: path is a copy, not a link
};
TileLink tile_link;
const char TILE_FOLDER_STEM[] = "mapper-tiles";
const char TILE_LINK_PREFIX[] = "tile.";

void remove_tile_link()
{
    if (tile_link.owner != getpid())
        return;
    discard_private_folder(&tile_link.folder);
    for (int fd : {tile_link.fd, tile_link.base_fd})
        if (fd >= 0)
            close(fd);
    tile_link = TileLink();
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string temporary_folder_base()
{
    const char *base = std::getenv("TMPDIR");
    return base && base[0] == '/' ? base : "/tmp";
}

// Links the tile's name to a descriptor of ours, /dev/null for now;
// false, with nothing left, when the link does not lead there (no /proc).
bool link_to_descriptor(const std::string &name)
{
    tile_link.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (tile_link.fd < 0)
        return false;
    const std::string target = "/proc/self/fd/" + std::to_string(tile_link.fd);
    struct stat st;
    if (symlinkat(target.c_str(), tile_link.folder.fd, name.c_str()) == 0 &&
        fstatat(tile_link.folder.fd, name.c_str(), &st, 0) == 0 &&
        S_ISCHR(st.st_mode))
        return true;
    unlinkat(tile_link.folder.fd, name.c_str(), 0);
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
    const std::string name = std::string(TILE_LINK_PREFIX) + tile_ext;
    if (tile_link.owner == getpid() && ends_with(tile_link.path, "/" + name))
        return true;
    if (tile_link.owner == getpid())
        remove_tile_link();
    else
        tile_link = TileLink();  // a forked child's copy of its parent's
    tile_link.owner = getpid();
    static bool cleanup_registered = false;
    if (!cleanup_registered)
        cleanup_registered = std::atexit(remove_tile_link) == 0;

    const std::string base = temporary_folder_base();
    tile_link.base_fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string failure;
    if (tile_link.base_fd < 0) {
        *why = "no private folder to load it from in " + base + ": " +
               std::strerror(errno);
        return false;
    }
    if (!make_private_folder(tile_link.base_fd, TILE_FOLDER_STEM,
                             &tile_link.folder, &failure)) {
        // The reason, from "what: reason".
        const std::string::size_type at = failure.rfind(": ");
        *why = "no private folder to load it from in " + base + ": " +
               (at == std::string::npos ? failure : failure.substr(at + 2));
        return false;
    }
    tile_link.path = base + "/" + tile_link.folder.name + "/" + name;
    if (tile_link.path.size() >= PATH_MAX) {
        *why = "no private folder to load it from: " + base + " is too long a path";
        remove_tile_link();
        return false;
    }
    tile_link.copies = !link_to_descriptor(name);
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

// A failed load leaves these, not what an earlier call left.
void clear_load_errors()
{
    allegro_error[0] = '\0';
    errno = 0;
    if (allegro_errno)
        *allegro_errno = 0;
}

}  // namespace

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
        if (copy_checked_tile(fd, tile_link.path.c_str(), why)) {
            clear_load_errors();
            tile = load_map_tile(tile_link.path.c_str(), fd);
            if (!tile)
                *why = tile_load_failure(w, h);
        }
        unlink(tile_link.path.c_str());
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
    tile = load_map_tile(tile_link.path.c_str(), tile_link.fd);
    if (!tile)
        *why = tile_load_failure(w, h);
    return tile;
}

void finish_tile_loads() { remove_tile_link(); }

