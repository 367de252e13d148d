#include "tile_load.h"

#include <allegro.h>
#include <fcntl.h>
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
#include "run_folder.h"
#include "tile_check.h"
#include "tile_place.h"
#include "tile_types.h"

namespace {

const size_t COPY_BUFFER_BYTES = 1 << 16;

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

