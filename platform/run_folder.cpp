#include "run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

const char RUN_LOCK_NAME[] = "lock";

namespace {

// The lock file before it is locked: never taken for a free lock.
const char NEW_LOCK_NAME[] = "lock.new";
const mode_t LOCK_FILE_MODE = 0600;

// The names in the folder open at fd, less . and ..; false if unreadable.
bool folder_entries(int fd, std::vector<std::string> *names)
{
    const int list_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list_fd < 0)
        return false;
    DIR *dir = fdopendir(list_fd);
    if (!dir) {
        close(list_fd);
        return false;
    }
    while (const struct dirent *e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names->push_back(e->d_name);
    closedir(dir);
    return true;
}

bool only_run_files(const char *folder, const std::vector<std::string> &names,
                    bool (*is_run_file)(const char *, const char *))
{
    for (const std::string &n : names)
        if (n != RUN_LOCK_NAME && !is_run_file(folder, n.c_str()))
            return false;
    return true;
}

void remove_if_dead(int parent_fd, const char *name,
                    bool (*is_run_file)(const char *, const char *))
{
    const int dir = openat(parent_fd, name,
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return;
    const int lock = openat(dir, RUN_LOCK_NAME,
                            O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    std::vector<std::string> names;
    struct stat ours, named;
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0 &&
        folder_entries(dir, &names) && only_run_files(name, names, is_run_file)) {
        for (const std::string &n : names)
            if (n != RUN_LOCK_NAME)
                unlinkat(dir, n.c_str(), 0);
        unlinkat(dir, RUN_LOCK_NAME, 0);
        // Before the folder goes: FUSE file systems keep a file that is
        // still open under a hidden name.
        close(lock);
        // Only the folder that was inspected, not one put in its place.
        if (fstat(dir, &ours) == 0 &&
            fstatat(parent_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
            unlinkat(parent_fd, name, AT_REMOVEDIR);
    } else if (lock >= 0) {
        close(lock);
    }
    close(dir);
}

}  // namespace

int lock_run_folder(int dir_fd)
{
    const int fd = openat(dir_fd, NEW_LOCK_NAME,
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          LOCK_FILE_MODE);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        renameat(dir_fd, NEW_LOCK_NAME, dir_fd, RUN_LOCK_NAME) != 0) {
        const int err = errno;
        unlinkat(dir_fd, NEW_LOCK_NAME, 0);
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void remove_dead_run_folders(int parent_fd,
                             bool (*is_run_folder)(const char *name),
                             bool (*is_run_file)(const char *folder,
                                                 const char *file))
{
    std::vector<std::string> names;
    if (!folder_entries(parent_fd, &names))
        return;
    for (const std::string &n : names)
        if (is_run_folder(n.c_str()))
            remove_if_dead(parent_fd, n.c_str(), is_run_file);
}
