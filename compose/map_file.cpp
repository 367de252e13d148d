#include "map_file.h"

#include <fcntl.h>
#include <limits.h>
#include <loadpng.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "image_format.h"
#include "tile_check.h"

// How a map reaches the disk. The library's savers open their file by
// name with O_CREAT|O_TRUNC and follow links, so the name they are given
// must not be one that anybody else can plant or swap. Each map is
// therefore written inside a folder of our own: created under an
// unpredictable name in the output folder, mode 0700, checked to be ours
// once opened, and entered with fchdir on its descriptor, so that the
// saver's relative name resolves inside that very folder even if someone
// renames it or plants things next to it meanwhile; nobody but us (and
// root) can create or swap a name in it. The file in it is created by us
// with O_EXCL|O_NOFOLLOW and carries the map's name, so the registry picks
// the codec from its extension; after the save the name must still be
// that file (same inode), or nothing is renamed. fchdir rather than a
// /proc/self/fd path because it needs no mounted /proc; the working
// folder is the process's, but nothing else opens files by relative name
// while a map is saved. Being in the output folder, the file can be
// renamed over the map without a copy, which happens only once it is
// whole and synced.

namespace {

// Shells report a process ended by signal n as 128 + n; ours exits so.
const int SIGNAL_EXIT_BASE = 128;
const int EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
const int EXIT_SIGNAL_COUNT = sizeof EXIT_SIGNALS / sizeof EXIT_SIGNALS[0];

// Random bytes in a temporary folder's name, and how many fresh names to
// try should one exist already.
const int NAME_RANDOM_BYTES = 8;
const int NAME_ATTEMPTS = 8;
const char TEMP_FOLDER_TAG[] = ".part-";
const mode_t PRIVATE_FOLDER_MODE = S_IRWXU;
// As the library's savers create files, less the umask.
const mode_t MAP_FILE_MODE = 0666;
// Room asked for after a failed write to learn why it failed: more than
// any saver writes at once.
const off_t WRITE_PROBE_BYTES = 1 << 16;

// What the signal handler removes. Names and descriptors are in place
// before the stage that makes them count is raised, so the handler only
// reads finished data and makes async-signal-safe calls.
enum { PENDING_NOTHING, PENDING_FOLDER, PENDING_FILE };
volatile sig_atomic_t pending_stage = PENDING_NOTHING;
volatile sig_atomic_t pending_out_fd = -1;
volatile sig_atomic_t pending_folder_fd = -1;
char pending_folder[NAME_MAX + 1];
char pending_file[NAME_MAX + 1];

bool signals_caught = false;
struct sigaction replaced_actions[EXIT_SIGNAL_COUNT];

void on_exit_signal(int sig)
{
    if (pending_stage >= PENDING_FILE)
        unlinkat(pending_folder_fd, pending_file, 0);
    if (pending_stage >= PENDING_FOLDER)
        unlinkat(pending_out_fd, pending_folder, AT_REMOVEDIR);
    // A stop while tiles load leaves no private link folder behind either.
    finish_tile_loads();
    if (exit_signal_clean_up)
        exit_signal_clean_up();
    _exit(SIGNAL_EXIT_BASE + sig);
}

void set_pending(int stage)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending_stage = stage;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// One map on its way to the disk.
struct TempMap {
    std::string map;        // the map's name in the output folder
    int out_fd = -1;        // the output folder
    std::string folder;     // our private folder's name in it
    int folder_fd = -1;
    int file_fd = -1;       // the temporary map, named like the map
    bool file_ours = false; // the name in the folder is still our file
    bool renamed = false;
    std::string why;

    std::string file_path() const { return folder + "/" + map; }

    bool fail(const std::string &what, int err)
    {
        why = what + ": " + std::strerror(err);
        return false;
    }
};

std::string current_folder()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : ".";
}

// The map's name without extension, a tag and random hex digits.
bool random_folder_name(const std::string &map, std::string *name)
{
    static const char HEX[] = "0123456789abcdef";
    unsigned char bytes[NAME_RANDOM_BYTES];
    if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes)
        return false;
    std::string s = map.substr(0, map.rfind('.')) + TEMP_FOLDER_TAG;
    for (unsigned char b : bytes) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    *name = s;
    return true;
}

// Ours and closed to everybody else: what an impostor folder that
// someone swapped in after our mkdir could not be.
bool folder_is_private(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

bool make_private_folder(TempMap &t)
{
    t.out_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t.out_fd < 0)
        return t.fail("opening the current folder", errno);
    pending_out_fd = t.out_fd;
    int err = EEXIST;
    for (int i = 0; i < NAME_ATTEMPTS && err == EEXIST; ++i) {
        std::string name;
        if (!random_folder_name(t.map, &name))
            return t.fail("picking an unpredictable name", errno);
        if (name.size() >= sizeof pending_folder)
            return t.fail("naming its temporary folder", ENAMETOOLONG);
        std::memcpy(pending_folder, name.c_str(), name.size() + 1);
        set_pending(PENDING_FOLDER);
        if (mkdirat(t.out_fd, name.c_str(), PRIVATE_FOLDER_MODE) == 0) {
            t.folder = name;
            err = 0;
        } else {
            err = errno;
            set_pending(PENDING_NOTHING);
        }
    }
    if (err != 0)
        return t.fail("creating a temporary folder in " + current_folder(),
                      err);
    t.folder_fd = openat(t.out_fd, t.folder.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (t.folder_fd < 0)
        return t.fail("opening " + t.folder, errno);
    if (!folder_is_private(t.folder_fd)) {
        // Not ours: leave it alone, and our own folder wherever it went.
        set_pending(PENDING_NOTHING);
        t.why = "the temporary folder " + t.folder + " in " +
                current_folder() + " was replaced by someone else";
        t.folder.clear();
        return false;
    }
    return true;
}

bool make_temp_file(TempMap &t)
{
    if (t.map.size() >= sizeof pending_file)
        return t.fail("naming its temporary file", ENAMETOOLONG);
    std::memcpy(pending_file, t.map.c_str(), t.map.size() + 1);
    pending_folder_fd = t.folder_fd;
    set_pending(PENDING_FILE);
    t.file_fd = openat(t.folder_fd, t.map.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       MAP_FILE_MODE);
    if (t.file_fd < 0) {
        int err = errno;
        set_pending(PENDING_FOLDER);
        return t.fail("creating " + t.file_path(), err);
    }
    t.file_ours = true;
    return true;
}

// The library's packfiles put EFAULT ("Bad address") in place of the
// system's reason when a write fails, and a saver that ignores a failed
// write leaves no reason at all. Asking for room at the end of the file
// shows the likely one (a full disk, a quota, the file-size limit) while
// it lasts; 0 when the room is there now.
int write_failure_reason(int fd, int save_errno)
{
    if (save_errno != 0 && save_errno != EFAULT)
        return save_errno;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    return posix_fallocate(fd, st.st_size, WRITE_PROBE_BYTES);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Runs the registry's saver on the file's name from inside the private
// folder. *save_errno receives what the system last reported meanwhile.
bool write_through_registry(TempMap &t, BITMAP *canvas, int *save_errno)
{
    if (fchdir(t.folder_fd) != 0)
        return t.fail("entering " + t.folder, errno);
    errno = 0;
    int result = save_bitmap(t.map.c_str(), canvas, NULL);
    *save_errno = errno;
    if (fchdir(t.out_fd) != 0)
        return t.fail("returning to the output folder", errno);
    if (result == 0)
        return true;
    if (int err = write_failure_reason(t.file_fd, *save_errno))
        return t.fail("writing " + t.file_path(), err);
    t.why = "writing " + t.file_path() +
            ": the image saver failed without giving a system reason";
    return false;
}

// The file that the saver wrote must be the one we created: nothing else
// is ever checked, synced or renamed over the map.
bool still_our_file(TempMap &t)
{
    struct stat ours, named;
    if (fstat(t.file_fd, &ours) != 0)
        return t.fail("checking " + t.file_path(), errno);
    if (fstatat(t.folder_fd, t.map.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(ours, named)) {
        t.file_ours = false;
        t.why = t.file_path() + " was replaced by another file during the save";
        return false;
    }
    return true;
}

// The extension of a map's name, which picks its codec.
std::string map_extension(const std::string &map)
{
    const std::string::size_type dot = map.rfind('.');
    return dot == std::string::npos ? "" : map.substr(dot + 1);
}

bool finish_file(TempMap &t, int save_errno)
{
    if (!map_file_whole(t.file_fd, map_extension(t.map).c_str())) {
        t.why = t.file_path() +
                " is incomplete, though the image saver reported success";
        if (int err = write_failure_reason(t.file_fd, save_errno))
            t.why += std::string(": ") + std::strerror(err);
        return false;
    }
    if (fsync(t.file_fd) != 0)
        return t.fail("flushing " + t.file_path() + " to the disk", errno);
    if (renameat(t.folder_fd, t.map.c_str(), t.out_fd, t.map.c_str()) != 0)
        return t.fail("replacing " + t.map, errno);
    t.renamed = true;
    // The rename itself reaches the disk with the folder; the map is in
    // place by now whatever this reports.
    fsync(t.out_fd);
    return true;
}

void clean_up(TempMap &t)
{
    if (t.file_fd >= 0)
        close(t.file_fd);
    if (t.file_ours && !t.renamed)
        unlinkat(t.folder_fd, t.map.c_str(), 0);
    set_pending(PENDING_FOLDER);
    if (!t.folder.empty())
        unlinkat(t.out_fd, t.folder.c_str(), AT_REMOVEDIR);
    set_pending(PENDING_NOTHING);
    if (t.folder_fd >= 0)
        close(t.folder_fd);
    if (t.out_fd >= 0)
        close(t.out_fd);
}

}  // namespace

void (*exit_signal_clean_up)() = nullptr;

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool save_map(const std::string &name, BITMAP *canvas, std::string *why)
{
    const bool caught_here = !signals_caught;
    catch_exit_signals();
    TempMap t;
    t.map = name;
    // GIF maps are reduced to the current palette: make it the canvas's.
    if (format_of_extension(map_extension(name).c_str()) == FORMAT_GIF)
        select_fitted_palette(canvas);
    int save_errno = 0;
    bool ok = make_private_folder(t) && make_temp_file(t) &&
              write_through_registry(t, canvas, &save_errno) &&
              still_our_file(t) && finish_file(t, save_errno);
    clean_up(t);
    if (caught_here)
        release_exit_signals();
    if (!ok && why)
        *why = t.why;
    return ok;
}

void catch_exit_signals()
{
    if (signals_caught)
        return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_exit_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : EXIT_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int i = 0; i < EXIT_SIGNAL_COUNT; ++i) {
        sigaction(EXIT_SIGNALS[i], &action, &replaced_actions[i]);
        // A signal that the user's shell ignores (nohup) stays ignored.
        if (replaced_actions[i].sa_handler == SIG_IGN)
            sigaction(EXIT_SIGNALS[i], &replaced_actions[i], nullptr);
    }
    signals_caught = true;
}

void release_exit_signals()
{
    if (!signals_caught)
        return;
    for (int i = 0; i < EXIT_SIGNAL_COUNT; ++i)
        sigaction(EXIT_SIGNALS[i], &replaced_actions[i], nullptr);
    signals_caught = false;
}
