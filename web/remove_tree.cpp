#include "remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Walks before giving up on a tree that keeps growing, and how deep a
// tree may be: the web map's is four folders deep.
const int REMOVE_PASSES = 64;
const int MAX_DEPTH = 8;
// getdents64 fills this much of the stack per folder level.
const int DIRENT_BUFFER = 4096;

bool is_dot_entry(const char *name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// One pass: removes what it finds under name, then name itself.
bool remove_once(int dirfd, const char *name, int depth)
{
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT)
        return true;
    if (depth >= MAX_DEPTH)
        return false;
    const int fd = openat(dirfd, name,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    alignas(dirent64) char buf[DIRENT_BUFFER];
    ssize_t n;
    while ((n = getdents64(fd, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            if (!is_dot_entry(d->d_name))
                remove_once(fd, d->d_name, depth + 1);
        }
    }
    close(fd);
    return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

bool remove_tree_at(int dirfd, const char *name)
{
    for (int pass = 0; pass < REMOVE_PASSES; ++pass) {
        if (remove_once(dirfd, name, 0))
            return true;
    }
    return false;
}
