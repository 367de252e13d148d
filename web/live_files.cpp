#include "live_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "private_output.h"
#include "remove_tree.h"
#include "web_map.h"

namespace {

// The private folder's stem, and the name a file has there.
const char LIVE_STEM[] = "live";
const char STAGED_FILE[] = "staged";

struct LiveFiles {
    int fd = -1;        // map_web
    PrivateFolder dir;  // in it
};
LiveFiles live;

// Cuts the region into the pyramid name in the private folder, from
// inside it: libvips writes by name, and no /proc is needed. Nothing
// else opens files by relative name meanwhile (the watch's one thread).
bool cut_inside(const CanvasRegion &region, const std::string &name,
                const std::string &tile_ext, const int background[3], std::string *why)
{
    const int back = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (back < 0)
        return fail_with_reason(why, "opening the output folder " + current_folder(), errno);
    if (fchdir(live.dir.fd) != 0) {
        close(back);
        return fail_with_reason(why, "entering " + live_path(live.dir.name), errno);
    }
    bool ok = cut_pyramid(region, live.dir.fd, name, name, tile_ext,
                          background, why);
    if (fchdir(back) != 0 && ok)
        ok = fail_with_reason(why, "returning to the output folder", errno);
    close(back);
    return ok;
}

}  // namespace

bool open_live_files(std::string *why)
{
    close_live_files();
    live.fd = open(WEB_FOLDER_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (live.fd < 0)
        return fail_with_reason(why, "opening " + current_folder() + "/" + WEB_FOLDER_NAME, errno);
    if (!make_private_folder(live.fd, LIVE_STEM, &live.dir, why))
        return false;
    static bool exit_handler_set = false;
    if (!exit_handler_set)
        exit_handler_set = std::atexit(close_live_files) == 0;
    return true;
}

void close_live_files()
{
    discard_private_folder(&live.dir);
    if (live.fd >= 0)
        close(live.fd);
    live.fd = -1;
}

int live_web_fd() { return live.fd; }

std::string live_path(const std::string &name)
{
    return current_folder() + "/" + WEB_FOLDER_NAME + "/" + name;
}

int open_live_folders(const std::string &path, std::string *why)
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
            fail_with_reason(why, "creating " + live_path(done), errno);
            close(dir);
            return -1;
        }
        const int next = openat(dir, part.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        close(dir);
        dir = next;
        if (dir < 0)
            fail_with_reason(why, "opening " + live_path(done), err);
    }
    return dir;
}

bool replace_live_file(int dir, const std::string &name, const std::string &data,
                     const std::string &shown_as, std::string *why)
{
    // What a failed write left.
    unlinkat(live.dir.fd, STAGED_FILE, 0);
    const int fd = openat(live.dir.fd, STAGED_FILE,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          user_file_mode());
    if (fd < 0)
        return fail_with_reason(why, "creating " + live_path(live.dir.name + "/" + STAGED_FILE), errno);
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
        return fail_with_reason(why, "writing " + live_path(shown_as), err);
    }
    return true;
}

bool replace_live_level(const CanvasRegion &region, const std::string &name,
                        const std::string &tile_ext, const int background[3],
                        std::string *why)
{
    // What a failed cut left.
    remove_tree_at(live.dir.fd, name.c_str());
    if (!cut_inside(region, name, tile_ext, background, why)) {
        remove_tree_at(live.dir.fd, name.c_str());
        return false;
    }
    std::string reason;
    if (!replace_folder_into(&live.dir, name.c_str(), live.fd, name.c_str(), &reason)) {
        const int err = errno;
        remove_tree_at(live.dir.fd, name.c_str());
        return fail_with_reason(why, "replacing " + live_path(name), err);
    }
    return true;
}

void sweep_web_leftovers()
{
    const int fd = open(WEB_FOLDER_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    sweep_private_leftovers(fd, LIVE_STEM);
    close(fd);
}
