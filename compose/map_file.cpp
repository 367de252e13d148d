#include "map_file.h"

#include <fcntl.h>
#include <loadpng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "file_io.h"
#include "image_format.h"
#include "map_palette.h"
#include "private_output.h"

// How a map reaches the disk. The library's savers open their file by
// name with O_CREAT|O_TRUNC and follow links, so the name they are given
// must not be one that anybody else can plant or swap. Each map is
// therefore written inside a private folder of the run's own in the
// output folder (private_output.h), entered with fchdir on its
// descriptor, so that the saver's relative name resolves inside that very
// folder even if someone renames it or plants things next to it
// meanwhile. The file in it is created by us with O_EXCL|O_NOFOLLOW and
// carries the map's name, so the registry picks the codec from its
// extension; after the save the name must still be that file (same
// inode), or nothing is renamed. fchdir rather than a /proc/self/fd path
// because it needs no mounted /proc; the working folder is the
// process's, but nothing else opens files by relative name while a map
// is saved. Being in the output folder, the file can be renamed over the
// map without a copy, which happens only once it is whole and synced.

namespace {

const mode_t PRIVATE_FILE_MODE = S_IRUSR | S_IWUSR;
// Room asked for after a failed write to learn why it failed: more than
// any saver writes at once.
const off_t WRITE_PROBE_BYTES = 1 << 16;

// One map on its way to the disk.
struct TempMap {
    std::string map;        // the map's name in the output folder
    int out_fd = -1;        // the output folder (O_PATH)
    PrivateFolder folder;
    int file_fd = -1;       // the temporary map, named like the map
    std::string why;

    std::string file_path() const { return folder.name + "/" + map; }

    bool fail(const std::string &what, int err)
    {
        why = what + ": " + std::strerror(err);
        return false;
    }
};

// The map's name without extension: its private folder's stem.
std::string map_stem(const std::string &map)
{
    return map.substr(0, map.rfind('.'));
}

// Creates the temporary map in the private folder, for the saver to
// write by name: readable and writable by us whatever the umask.
bool make_file(TempMap &t)
{
    t.file_fd = openat(t.folder.fd, t.map.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       PRIVATE_FILE_MODE);
    if (t.file_fd < 0)
        return t.fail("creating " + t.file_path(), errno);
    hold_private_file(&t.folder, t.file_fd);
    if (fchmod(t.file_fd, PRIVATE_FILE_MODE) != 0)
        return t.fail("making " + t.file_path() + " writable", errno);
    return true;
}

bool make_temp_map(TempMap &t)
{
    t.out_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (t.out_fd < 0)
        return t.fail("opening the output folder " + current_folder(), errno);
    return make_private_folder(t.out_fd, map_stem(t.map), &t.folder, &t.why) &&
           make_file(t);
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
    if (fchdir(t.folder.fd) != 0)
        return t.fail("entering " + t.folder.name, errno);
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
    if (fstatat(t.folder.fd, t.map.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        ours.st_dev != named.st_dev || ours.st_ino != named.st_ino) {
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
    fchmod(t.file_fd, user_file_mode());
    if (fsync(t.file_fd) != 0)
        return t.fail("flushing " + t.file_path() + " to the disk", errno);
    return publish_file(&t.folder, t.map.c_str(), t.map.c_str(), &t.why);
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
    TempMap t;
    t.map = name;
    // GIF maps are reduced to the current palette: make it the canvas's.
    if (format_of_extension(map_extension(name).c_str()) == FORMAT_GIF)
        select_fitted_palette(canvas);
    int save_errno = 0;
    bool ok = make_temp_map(t) &&
              write_through_registry(t, canvas, &save_errno) &&
              still_our_file(t) && finish_file(t, save_errno);
    // Closes the file too.
    discard_private_folder(&t.folder);
    if (t.out_fd >= 0)
        close(t.out_fd);
    release_exit_signals();
    if (!ok && why)
        *why = t.why;
    return ok;
}
