// The POSIX sweep of the private folders that killed runs left.
#include "private_names.h"
#include "private_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "remove_tree.h"
#include "run_folder.h"

namespace {

// The names in the folder open at fd that is_private_name accepts.
std::vector<std::string> private_entries(int fd, const std::string &stem)
{
    std::vector<std::string> names;
    const int list_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (!dir) {
        if (list_fd >= 0)
            close(list_fd);
        return names;
    }
    while (const struct dirent *e = readdir(dir))
        if (is_private_name(e->d_name, stem, PART_TAG) ||
            is_private_name(e->d_name, stem, OLD_TAG))
            names.push_back(e->d_name);
    closedir(dir);
    return names;
}

bool named_so(int parent_fd, const char *name, int fd)
{
    struct stat ours, named;
    return fstat(fd, &ours) == 0 &&
           fstatat(parent_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
}

// Puts a whole older tree back where it was published, without its lock.
bool put_back(int parent_fd, const char *name, const std::string &stem,
              int fd, bool (*is_whole)(int))
{
    struct stat st;
    if (!is_whole || !is_whole(fd) ||
        fstatat(parent_fd, stem.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT)
        return false;
    unlinkat(fd, RUN_LOCK_NAME, 0);
    return named_so(parent_fd, name, fd) &&
           renameat(parent_fd, name, parent_fd, stem.c_str()) == 0;
}

// Sweeps one folder; false, with errno, when it was dead but stayed.
bool sweep_one(int parent_fd, const char *name, bool (*is_whole)(int))
{
    const int fd = openat(parent_fd, name,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return true;
    struct stat st;
    const int lock = openat(fd, RUN_LOCK_NAME,
                            O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool old = std::strstr(name, OLD_TAG) != nullptr;
    // A .part- folder without a lock may be in the making.
    const bool dead = fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
                      (lock >= 0 ? flock(lock, LOCK_EX | LOCK_NB) == 0 : old);
    bool gone = true;
    int err = 0;
    if (dead && !(old && put_back(parent_fd, name, private_stem(name), fd, is_whole))) {
        // Held until the rest is gone, so that no other run sweeps it
        // meanwhile; closed before it goes (FUSE keeps open files).
        const bool emptied = empty_folder(fd, lock >= 0 ? RUN_LOCK_NAME : nullptr);
        err = errno;
        if (lock >= 0)
            close(lock);
        if (emptied && lock >= 0)
            unlinkat(fd, RUN_LOCK_NAME, 0);
        gone = emptied && (!named_so(parent_fd, name, fd) ||
                           unlinkat(parent_fd, name, AT_REMOVEDIR) == 0);
        if (emptied && !gone)
            err = errno;
    } else if (lock >= 0) {
        close(lock);
    }
    close(fd);
    errno = err;
    return gone;
}

}  // namespace

std::string sweep_private_folders(int parent_fd, const std::string &stem,
                                  bool (*is_whole)(int fd))
{
    std::string stayed;
    for (const std::string &name : private_entries(parent_fd, stem))
        if (!sweep_one(parent_fd, name.c_str(), is_whole) && stayed.empty())
            stayed = name + ": " + std::strerror(errno);
    return stayed;
}

std::string sweep_private_leftovers(int parent_fd, const std::string &stem)
{
    return sweep_private_folders(parent_fd, stem, nullptr);
}
