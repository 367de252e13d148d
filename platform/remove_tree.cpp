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

bool remove_once(int dirfd, const char *name, int depth, int *err);

// Removes the entries of the folder open at fd but keep; false, with
// *err, if one stayed.
bool remove_entries(int fd, const char *keep, int depth, int *err)
{
    // A descriptor of its own, so that the walk starts at the first entry.
    const int list = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list < 0) {
        *err = errno;
        return false;
    }
    bool all = true;
    alignas(dirent64) char buf[DIRENT_BUFFER];
    ssize_t n;
    while ((n = getdents64(list, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            if (!is_dot_entry(d->d_name) &&
                !(keep && std::strcmp(d->d_name, keep) == 0) &&
                !remove_once(fd, d->d_name, depth + 1, err))
                all = false;
        }
    }
    if (n < 0) {
        *err = errno;
        all = false;
    }
    close(list);
    return all;
}

// One pass: removes what it finds under name, then name itself.
bool remove_once(int dirfd, const char *name, int depth, int *err)
{
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT)
        return true;
    // Linux says EISDIR for a folder; a file that stays says why.
    const int unlink_errno = errno;
    if (depth >= MAX_DEPTH) {
        *err = ELOOP;
        return false;
    }
    const int fd = openat(dirfd, name,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *err = errno == ENOTDIR ? unlink_errno : errno;
        return false;
    }
    remove_entries(fd, nullptr, depth, err);
    close(fd);
    if (unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    // A folder that kept an entry reports why that entry stayed.
    if (errno != ENOTEMPTY || *err == 0)
        *err = errno;
    return false;
}

// Only a tree that grew meanwhile is worth walking again; a refusal
// (a read-only folder, say) stays.
bool worth_another_pass(int err) { return err == ENOTEMPTY || err == 0; }

}  // namespace

bool remove_tree_at(int dirfd, const char *name)
{
    int err = 0;
    for (int pass = 0; pass < REMOVE_PASSES; ++pass) {
        err = 0;
        if (remove_once(dirfd, name, 0, &err))
            return true;
        if (!worth_another_pass(err))
            break;
    }
    errno = err;
    return false;
}

bool empty_folder(int fd, const char *keep)
{
    int err = 0;
    for (int pass = 0; pass < REMOVE_PASSES; ++pass) {
        err = 0;
        if (remove_entries(fd, keep, 0, &err))
            return true;
        if (!worth_another_pass(err))
            break;
    }
    errno = err;
    return false;
}
