#include "private_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "file_io.h"
#include "remove_tree.h"
#include "run_folder.h"

FolderRecord folder_records[MAX_FOLDER_RECORDS];

namespace {

enum { RECORD_FREE, RECORD_FILLING, RECORD_ACTIVE };
const mode_t LOCK_FILE_MODE = S_IRUSR | S_IWUSR;

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Removes the folder of r; async-signal-safe calls only. The run lock
// goes last, and only once everything else has gone: a folder that keeps
// something (a file a library still holds open, which FUSE keeps under a
// hidden name; a read-only sub-folder) keeps a free lock, so that the
// next run removes it. The folder itself goes only while its name still
// leads to it.
bool remove_recorded(FolderRecord &r)
{
    // Before its file goes: FUSE keeps an open file under a hidden name.
    close_fd(&r.file_fd);
    const bool locked = r.lock_fd >= 0;
    bool emptied = empty_folder(r.fd, locked ? RUN_LOCK_NAME : nullptr);
    int err = emptied ? 0 : errno;
    close_fd(&r.lock_fd);
    if (emptied && locked)
        unlinkat(r.fd, RUN_LOCK_NAME, 0);
    struct stat named;
    const bool here = fstatat(r.parent_fd, r.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      named.st_dev == r.dev && named.st_ino == r.ino;
    bool gone = !here;
    if (here && emptied) {
        gone = unlinkat(r.parent_fd, r.name, AT_REMOVEDIR) == 0;
        if (!gone) {
            err = errno;
            const int lock = openat(r.fd, RUN_LOCK_NAME,
                                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                                    LOCK_FILE_MODE);
            if (lock >= 0)
                close(lock);
        }
    }
    close_fd(&r.fd);
    errno = err;
    return gone;
}

// The exit-signal handler's clean-up.
void remove_recorded_folders()
{
    const pid_t self = getpid();
    for (FolderRecord &r : folder_records)
        if (r.state.load() == RECORD_ACTIVE && r.owner.load() == self)
            remove_recorded(r);
}

}  // namespace

int record_folder(int parent_fd, const std::string &name, int fd, int lock_fd)
{
    struct stat st;
    if (name.size() >= sizeof folder_records[0].name || fstat(fd, &st) != 0)
        return -1;
    add_exit_cleanup(remove_recorded_folders);
    const pid_t self = getpid();
    for (int i = 0; i < MAX_FOLDER_RECORDS; ++i) {
        FolderRecord &r = folder_records[i];
        // An entry of a process that forked us is free for ours.
        if (r.state.load() != RECORD_FREE && r.owner.load() != self)
            r.state.store(RECORD_FREE);
        int free_state = RECORD_FREE;
        if (!r.state.compare_exchange_strong(free_state, RECORD_FILLING))
            continue;
        r.owner.store(self);
        r.parent_fd = parent_fd;
        r.fd = fd;
        r.lock_fd = lock_fd;
        r.file_fd = -1;
        r.dev = st.st_dev;
        r.ino = st.st_ino;
        std::memcpy(r.name, name.c_str(), name.size() + 1);
        r.state.store(RECORD_ACTIVE);
        return i;
    }
    return -1;
}

void rerecord_folder(int slot, const std::string &name, int fd)
{
    FolderRecord &r = folder_records[slot];
    struct stat st;
    r.state.store(RECORD_FILLING);
    if (fd != r.fd && fstat(fd, &st) == 0) {
        close_fd(&r.fd);
        r.fd = fd;
        r.dev = st.st_dev;
        r.ino = st.st_ino;
    }
    if (name.size() < sizeof r.name)
        std::memcpy(r.name, name.c_str(), name.size() + 1);
    r.state.store(RECORD_ACTIVE);
}

bool remove_and_forget(int slot)
{
    // Still recorded meanwhile: a stop finishes the removal, with this
    // thread parked.
    FolderRecord &r = folder_records[slot];
    const bool gone = remove_recorded(r);
    const int err = errno;
    r.state.store(RECORD_FREE);
    errno = err;
    return gone;
}

bool folder_recorded(int slot)
{
    return folder_records[slot].state.load() == RECORD_ACTIVE;
}

void forget_folder(int slot)
{
    FolderRecord &r = folder_records[slot];
    r.state.store(RECORD_FILLING);
    close_fd(&r.file_fd);
    close_fd(&r.lock_fd);
    close_fd(&r.fd);
    r.state.store(RECORD_FREE);
}

std::string folder_path(int fd)
{
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0 || path[0] != '/')
        return current_folder();
    return std::string(path, static_cast<size_t>(n));
}
