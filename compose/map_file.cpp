#include "map_file.h"

#include <fcntl.h>
#include <limits.h>
#include <loadpng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "file_io.h"
#include "image_format.h"
#include "map_palette.h"
#include "random_name.h"
#include "run_folder.h"

// How a map reaches the disk. The library's savers open their file by
// name with O_CREAT|O_TRUNC and follow links, so the name they are given
// must not be one that anybody else can plant or swap. Each map is
// therefore written inside a folder of our own: created under an
// unpredictable name in the output folder, mode 0700 whatever the umask,
// and entered with fchdir on its descriptor, so that the saver's relative
// name resolves inside that very folder even if someone renames it or
// plants things next to it meanwhile. The file in it is created by us
// with O_EXCL|O_NOFOLLOW and carries the map's name, so the registry picks
// the codec from its extension; after the save the name must still be
// that file (same inode), or nothing is renamed. fchdir rather than a
// /proc/self/fd path because it needs no mounted /proc; the working
// folder is the process's, but nothing else opens files by relative name
// while a map is saved. Being in the output folder, the file can be
// renamed over the map without a copy, which happens only once it is
// whole and synced.
//
// The folder we opened must be the one we made, not one that someone
// swapped in between mkdir and open. File systems such as FAT, exFAT,
// CIFS or NFS with root squashing give every file one fixed owner and
// mode, so the test is what any file system can say: the descriptor is a
// folder (no link), it is the folder at our name now (device and inode),
// it has the owner that the file we just created in it got, and where the
// file system keeps the modes we ask for, it is closed to others. Another
// user's folder fails that on file systems with owners; those without
// cannot hold links either.

namespace {

// Random bytes in a temporary folder's name, and how many fresh names to
// try should one exist already.
const char TEMP_FOLDER_TAG[] = ".part-";
const size_t TEMP_FOLDER_TAG_LENGTH = sizeof TEMP_FOLDER_TAG - 1;
const mode_t PRIVATE_FOLDER_MODE = S_IRWXU;
const mode_t PRIVATE_FILE_MODE = S_IRUSR | S_IWUSR;
// The umask while the private folder and file are made, so that they
// get exactly the modes above.
const mode_t PRIVATE_UMASK = S_IRWXG | S_IRWXO;
// As the library's savers create files, less the umask.
const mode_t MAP_FILE_MODE = 0666;
const mode_t PERMISSION_BITS = 07777;
// Room asked for after a failed write to learn why it failed: more than
// any saver writes at once.
const off_t WRITE_PROBE_BYTES = 1 << 16;

// What the signal handler removes. Names and descriptors are in place
// before the stage that makes them count is raised, and a stage is raised
// only for a folder that was made and found ours, so the handler only
// removes what this run made.
enum { PENDING_NOTHING, PENDING_FOLDER, PENDING_FILE };
std::atomic<int> pending_stage(PENDING_NOTHING);
int pending_out_fd = -1;
int pending_folder_fd = -1;
// Closed before their files are removed: FUSE file systems keep a file
// that is still open under a hidden name, and the folder would stay.
int pending_file_fd = -1;
int pending_lock_fd = -1;
dev_t pending_dev;
ino_t pending_ino;
char pending_folder[NAME_MAX + 1];
char pending_file[NAME_MAX + 1];

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void close_pending(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Removes what the pending stage names; only async-signal-safe calls.
// The folder goes only while its name still leads to the folder made.
void remove_pending()
{
    const int stage = pending_stage.load();
    if (stage < PENDING_FOLDER)
        return;
    close_pending(&pending_file_fd);
    if (stage >= PENDING_FILE)
        unlinkat(pending_folder_fd, pending_file, 0);
    const bool locked = pending_lock_fd >= 0;
    if (locked)
        unlinkat(pending_folder_fd, RUN_LOCK_NAME, 0);
    close_pending(&pending_lock_fd);
    struct stat st;
    if (fstatat(pending_out_fd, pending_folder, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != pending_dev || st.st_ino != pending_ino)
        return;
    // A stop during the save: the saver's own descriptor still holds the
    // file on such a file system. A free lock lets the next run remove
    // the folder.
    if (unlinkat(pending_out_fd, pending_folder, AT_REMOVEDIR) != 0 &&
        errno == ENOTEMPTY && locked) {
        const int fd = openat(pending_folder_fd, RUN_LOCK_NAME,
                              O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                              PRIVATE_FILE_MODE);
        if (fd >= 0)
            close(fd);
    }
}

void set_pending(int stage) { pending_stage.store(stage); }

// One map on its way to the disk.
struct TempMap {
    std::string map;        // the map's name in the output folder
    int out_fd = -1;        // the output folder (O_PATH)
    std::string folder;     // our private folder's name in it
    int folder_fd = -1;
    int lock_fd = -1;
    int file_fd = -1;       // the temporary map, named like the map
    bool renamed = false;
    mode_t user_umask = 0;
    std::string why;

    std::string file_path() const { return folder + "/" + map; }

    bool fail(const std::string &what, int err)
    {
        why = what + ": " + std::strerror(err);
        return false;
    }
};

// The map's name without extension and a tag, before the random digits
// of its temporary folder's name.
std::string temp_folder_prefix(const std::string &map)
{
    return map.substr(0, map.rfind('.')) + TEMP_FOLDER_TAG;
}

// A name that make_folder gives: the tag and its hex digits at
// the end.
bool is_temp_folder(const char *name)
{
    const size_t n = std::strlen(name);
    const size_t digits = 2 * NAME_RANDOM_BYTES;
    if (n <= TEMP_FOLDER_TAG_LENGTH + digits ||
        std::strncmp(name + n - digits - TEMP_FOLDER_TAG_LENGTH, TEMP_FOLDER_TAG,
                     TEMP_FOLDER_TAG_LENGTH) != 0)
        return false;
    for (const char *c = name + n - digits; *c; ++c)
        if (!std::isxdigit(static_cast<unsigned char>(*c)) || std::isupper(*c))
            return false;
    return true;
}

// The temporary map in such a folder: the folder's map name.
bool is_temp_map(const char *folder, const char *file)
{
    const size_t stem = std::strlen(folder) - TEMP_FOLDER_TAG_LENGTH -
                        2 * NAME_RANDOM_BYTES;
    return std::strncmp(folder, file, stem) == 0 && file[stem] == '.' &&
           std::strchr(file + stem + 1, '.') == nullptr;
}

// See the notes above: the folder open at folder_fd is the one we made.
bool folder_is_ours(const TempMap &t)
{
    struct stat dir, named, file;
    if (fstat(t.folder_fd, &dir) != 0 || fstat(t.file_fd, &file) != 0 ||
        fstatat(t.out_fd, t.folder.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const bool modes_kept = (file.st_mode & PERMISSION_BITS) == PRIVATE_FILE_MODE;
    return S_ISDIR(dir.st_mode) && same_file(dir, named) &&
           dir.st_uid == file.st_uid &&
           (!modes_kept || (dir.st_mode & PERMISSION_BITS) == PRIVATE_FOLDER_MODE);
}

// Makes the folder, under the private umask; false with errno.
bool make_folder(TempMap &t)
{
    const std::string prefix = temp_folder_prefix(t.map);
    if (prefix.size() + 2 * NAME_RANDOM_BYTES >= sizeof pending_folder)
        return t.fail("naming its temporary folder", ENAMETOOLONG);
    if (int err = make_random_folder(t.out_fd, prefix, PRIVATE_FOLDER_MODE,
                                     &t.folder))
        return t.fail("creating a temporary folder in " + current_folder(),
                      err);
    return true;
}

// Opens the folder just made and creates the temporary map in it, under
// the private umask.
bool open_folder_and_file(TempMap &t)
{
    if (t.map.size() >= sizeof pending_file)
        return t.fail("naming its temporary file", ENAMETOOLONG);
    t.folder_fd = openat(t.out_fd, t.folder.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (t.folder_fd < 0)
        return t.fail("opening " + t.folder, errno);
    t.file_fd = openat(t.folder_fd, t.map.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       PRIVATE_FILE_MODE);
    if (t.file_fd < 0)
        return t.fail("creating " + t.file_path(), errno);
    return true;
}

// Names the folder and file for the signal handler once they are known
// to be ours.
void claim(TempMap &t)
{
    struct stat dir;
    fstat(t.folder_fd, &dir);
    pending_dev = dir.st_dev;
    pending_ino = dir.st_ino;
    pending_out_fd = t.out_fd;
    pending_folder_fd = t.folder_fd;
    pending_file_fd = t.file_fd;
    // From here remove_pending closes them.
    pending_lock_fd = t.lock_fd;
    std::memcpy(pending_folder, t.folder.c_str(), t.folder.size() + 1);
    std::memcpy(pending_file, t.map.c_str(), t.map.size() + 1);
    set_pending(PENDING_FILE);
}

// Until claim, a stop waits: what is made meanwhile is not yet known
// to be ours, and must neither be left behind nor removed unchecked.
bool make_folder_and_file(TempMap &t)
{
    hold_exit_signals();
    t.user_umask = umask(PRIVATE_UMASK);
    bool ok = make_folder(t) && open_folder_and_file(t);
    umask(t.user_umask);
    if (ok && !folder_is_ours(t)) {
        // Not ours: leave it alone, and our own folder wherever it went.
        struct stat file, named;
        if (fstat(t.file_fd, &file) == 0 &&
            fstatat(t.folder_fd, t.map.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(file, named))
            unlinkat(t.folder_fd, t.map.c_str(), 0);
        t.why = "the temporary folder " + t.folder + " in " +
                current_folder() + " was replaced by someone else";
        t.folder.clear();
        ok = false;
    }
    if (ok) {
        t.lock_fd = lock_run_folder(t.folder_fd);
        claim(t);
    }
    resume_exit_signals();
    return ok;
}

bool make_private_folder(TempMap &t)
{
    t.out_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (t.out_fd < 0)
        return t.fail("opening the output folder " + current_folder(), errno);
    // Leftovers of runs that were killed while they saved.
    remove_dead_run_folders(t.out_fd, is_temp_folder, is_temp_map);
    return make_folder_and_file(t);
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
        // Whatever is there now is not ours to remove.
        set_pending(PENDING_FOLDER);
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
    if (!image_file_whole(t.file_fd, format_of_extension(map_extension(t.map).c_str()))) {
        t.why = t.file_path() +
                " is incomplete, though the image saver reported success";
        if (int err = write_failure_reason(t.file_fd, save_errno))
            t.why += std::string(": ") + std::strerror(err);
        return false;
    }
    // The map gets the mode any new file would; file systems with fixed
    // modes refuse or ignore this, which costs nothing.
    fchmod(t.file_fd, MAP_FILE_MODE & ~t.user_umask);
    if (fsync(t.file_fd) != 0)
        return t.fail("flushing " + t.file_path() + " to the disk", errno);
    if (renameat(t.folder_fd, t.map.c_str(), t.out_fd, t.map.c_str()) != 0)
        return t.fail("replacing " + t.map, errno);
    t.renamed = true;
    set_pending(PENDING_FOLDER);
    // The rename itself reaches the disk with the folder; the map is in
    // place by now whatever this reports.
    fsync(t.out_fd);
    return true;
}

// Made but never claimed: removed while its name still leads to it.
void remove_unclaimed_folder(const TempMap &t)
{
    struct stat dir, named;
    if (t.folder.empty() || t.folder_fd < 0 || fstat(t.folder_fd, &dir) != 0 ||
        fstatat(t.out_fd, t.folder.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(dir, named))
        return;
    unlinkat(t.out_fd, t.folder.c_str(), AT_REMOVEDIR);
}

void clean_up(TempMap &t)
{
    if (pending_stage.load() != PENDING_NOTHING) {
        remove_pending();
        set_pending(PENDING_NOTHING);
    } else {
        for (int fd : {t.file_fd, t.lock_fd})
            if (fd >= 0)
                close(fd);
        remove_unclaimed_folder(t);
    }
    for (int fd : {t.folder_fd, t.out_fd})
        if (fd >= 0)
            close(fd);
}

}  // namespace

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool save_map(const std::string &name, BITMAP *canvas, std::string *why)
{
    catch_exit_signals();
    add_exit_cleanup(remove_pending);
    TempMap t;
    t.map = name;
    // GIF maps are reduced to the current palette: make it the canvas's.
    if (format_of_extension(map_extension(name).c_str()) == FORMAT_GIF)
        select_fitted_palette(canvas);
    int save_errno = 0;
    bool ok = make_private_folder(t) &&
              write_through_registry(t, canvas, &save_errno) &&
              still_our_file(t) && finish_file(t, save_errno);
    clean_up(t);
    release_exit_signals();
    if (!ok && why)
        *why = t.why;
    return ok;
}
