#include "private_output.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "file_io.h"
#include "private_names.h"
#include "private_record.h"
#include "random_name.h"
#include "remove_tree.h"
#include "run_folder.h"

namespace {

// The parent's entries reach the disk; an O_PATH parent is opened anew.
void flush_folder(int fd)
{
    if (fsync(fd) == 0 || errno != EBADF)
        return;
    const int opened = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened >= 0) {
        fsync(opened);
        close(opened);
    }
}

// A rename that never replaces; where the file system takes no flags
// (EINVAL: FAT, exFAT, some FUSE), a plain one once target is missing.
int rename_new(int parent_fd, const char *from, const char *to)
{
    if (renameat2(parent_fd, from, parent_fd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return errno;
    struct stat st;
    if (fstatat(parent_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return renameat(parent_fd, from, parent_fd, to) == 0 ? 0 : errno;
}

// The folder at p.target is a whole one of ours, to be replaced.
bool older_is_ours(int parent_fd, const FolderPublication &p)
{
    const int fd = openat(parent_fd, p.target,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ours = fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
                      p.is_whole(fd);
    close(fd);
    return ours;
}

// Puts the entry from (in from_fd) at to (in to_fd) in place of an older
// one there: by one exchange, after which the older one is at from; or,
// where the file system has none (EINVAL: FAT, exFAT), by moving the
// older one to aside in aside_fd first, put back if the second rename
// fails. 0 with *older_at (from or aside), or the system's error with
// *stepping_aside saying whether the older one could not move.
int swap_in(int from_fd, const char *from, int to_fd, const char *to, int aside_fd,
            const char *aside, const char **older_at, bool *stepping_aside)
{
    *stepping_aside = false;
    if (renameat2(from_fd, from, to_fd, to, RENAME_EXCHANGE) == 0) {
        *older_at = from;
        return 0;
    }
    if (errno != EINVAL)
        return errno;
    if (renameat(to_fd, to, aside_fd, aside) != 0) {
        *stepping_aside = true;
        return errno;
    }
    if (renameat(from_fd, from, to_fd, to) != 0) {
        const int err = errno;
        renameat(aside_fd, aside, to_fd, to);
        return err;
    }
    *older_at = aside;
    return 0;
}

// Puts the folder, renamed done, at target: false with *why if it is not
// there. Afterwards the record names what is to be removed, if anything:
// the older folder, which a file system without exchange moves aside
// under a name of its own. Exit signals wait meanwhile; a kill between
// those two renames leaves two whole .old- trees, of which the next run
// puts one back.
bool put_in_place(PrivateFolder *f, const std::string &done, const char *target,
                  bool older, std::string *why)
{
    if (!older) {
        if (int err = rename_new(f->parent_fd, done.c_str(), target))
            return fail_with_reason(why, "renaming " + done + " to " + target, err);
        forget_folder(f->slot);
        return true;
    }
    std::string aside;
    if (!random_name(private_stem(done) + OLD_TAG, &aside))
        return fail_with_reason(why, "picking an unpredictable name", errno);
    const char *older_at = nullptr;
    bool stepping_aside = false;
    if (int err = swap_in(f->parent_fd, done.c_str(), f->parent_fd, target,
                          f->parent_fd, aside.c_str(), &older_at, &stepping_aside))
        return fail_with_reason(why, std::string(stepping_aside ? "moving the older " : "replacing ") +
                             target + (stepping_aside ? " aside" : ""),
                    err);
    const int old_fd = openat(f->parent_fd, older_at,
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (old_fd >= 0)
        rerecord_folder(f->slot, older_at, old_fd);
    else
        forget_folder(f->slot);
    return true;
}

}  // namespace

bool publish_file(PrivateFolder *f, const char *file, const char *target,
                  std::string *why)
{
    if (renameat(f->fd, file, f->parent_fd, target) != 0)
        return fail_with_reason(why, std::string("replacing ") + target, errno);
    // The rename reaches the disk with the folder; the file is in place
    // by now whatever this reports.
    flush_folder(f->parent_fd);
    return true;
}

bool publish_file_into(PrivateFolder *f, const char *file, int dir_fd,
                       const char *target, std::string *why)
{
    if (renameat(f->fd, file, dir_fd, target) != 0)
        return fail_with_reason(why, std::string("replacing ") + target, errno);
    return true;
}

bool replace_folder_into(PrivateFolder *f, const char *entry, int dir_fd,
                         const char *target, std::string *why)
{
    std::string aside;
    if (!random_name(std::string(entry) + OLD_TAG, &aside))
        return fail_with_reason(why, "picking an unpredictable name", errno);
    const char *older_at = nullptr;
    bool stepping_aside = false;
    const int err = swap_in(f->fd, entry, dir_fd, target, f->fd, aside.c_str(),
                            &older_at, &stepping_aside);
    // No older folder: a plain rename puts the new one there.
    if (err == ENOENT)
        return publish_file_into(f, entry, dir_fd, target, why);
    if (err != 0)
        return fail_with_reason(why, std::string("replacing ") + target, err);
    remove_tree_at(f->fd, older_at);
    return true;
}

bool publish_folder(PrivateFolder *f, const FolderPublication &p,
                    std::string *why)
{
    // Where the file system keeps no modes this changes nothing.
    fchmod(f->fd, user_folder_mode());
    if (syncfs(f->fd) != 0)
        return fail_with_reason(why, "flushing " + f->name + " to the disk", errno);
    const std::string where = folder_path(f->parent_fd);
    struct stat st;
    const bool older =
        fstatat(f->parent_fd, p.target, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (older && !older_is_ours(f->parent_fd, p)) {
        if (why)
            *why = std::string(p.target) + " in " + where + " is not a " + p.kind +
                   " written by this program; move it away to have one written";
        return false;
    }
    const std::string done = with_tag(f->name, OLD_TAG);
    {
        ExitSignalHold hold;
        // Renamed while still locked, so that a kill at any point leaves
        // a folder that the next run removes or puts back.
        if (renameat(f->parent_fd, f->name.c_str(), f->parent_fd, done.c_str()) != 0)
            return fail_with_reason(why, "renaming " + f->name + " to " + done, errno);
        f->name = done;
        rerecord_folder(f->slot, done, f->fd);
        FolderRecord &r = folder_records[f->slot];
        if (r.lock_fd >= 0) {
            if (unlinkat(f->fd, RUN_LOCK_NAME, 0) != 0)
                return fail_with_reason(why, "removing " + done + "/" + RUN_LOCK_NAME, errno);
            close(r.lock_fd);
            r.lock_fd = -1;
        }
        if (p.companion) {
            if (renameat(f->fd, p.companion, f->parent_fd, p.companion) != 0)
                return fail_with_reason(why, std::string("replacing ") + p.companion, errno);
        }
        if (!put_in_place(f, done, p.target, older, why))
            return false;
    }
    flush_folder(f->parent_fd);
    // The record names the older tree now, if there was one.
    const int slot = f->slot;
    const int parent_fd = f->parent_fd;
    const bool recorded = folder_recorded(slot);
    const std::string old_name = recorded ? folder_records[slot].name : "";
    *f = PrivateFolder();
    const std::string stayed_intro = std::string("the new ") + p.kind +
                                     " is in place, but an older one could not be "
                                     "removed: ";
    if (recorded && !remove_and_forget(slot))
        return fail_with_reason(why, stayed_intro + old_name + " in " + where, errno);
    // Older ones that earlier runs could not remove are said each time.
    const std::string stayed = sweep_private_folders(parent_fd, p.target, nullptr);
    if (!stayed.empty()) {
        if (why)
            *why = stayed_intro + stayed.substr(0, stayed.find(':')) + " in " + where +
                   stayed.substr(stayed.find(':'));
        return false;
    }
    return true;
}
