#include "private_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exit_signals.h"
#include "file_io.h"
#include "private_names.h"
#include "private_record.h"
#include "random_name.h"
#include "run_folder.h"

namespace {

const mode_t PRIVATE_FOLDER_MODE = S_IRWXU;
const mode_t PRIVATE_FILE_MODE = S_IRUSR | S_IWUSR;
const mode_t PERMISSION_BITS = 07777;
const mode_t NEW_FILE_MODE = 0666;
const mode_t NEW_FOLDER_MODE = 0777;
const int UMASK_UNREAD = -1;
const int OCTAL = 8;

std::atomic<int> user_umask(UMASK_UNREAD);

// The kernel shows the umask in /proc/self/status since Linux 4.7; where
// it does not, it is read by setting it, which is safe only before other
// threads exist.
int umask_from_proc()
{
    FILE *status = std::fopen("/proc/self/status", "re");
    if (!status)
        return UMASK_UNREAD;
    char line[256];
    int mask = UMASK_UNREAD;
    while (mask == UMASK_UNREAD && std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "Umask:", 6) == 0)
            mask = static_cast<int>(std::strtol(line + 6, nullptr, OCTAL));
    std::fclose(status);
    return mask;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Sets the private folder's mode through its own descriptor where /proc
// names it, else by its name once it is known to lead there. Only for a
// folder of our owner: one of someone else's is refused later.
void make_private_mode(int parent_fd, const std::string &name, int path_fd)
{
    struct stat st;
    if (fstat(path_fd, &st) != 0 || st.st_uid != geteuid() ||
        (st.st_mode & PERMISSION_BITS) == PRIVATE_FOLDER_MODE)
        return;
    const std::string by_fd = "/proc/self/fd/" + std::to_string(path_fd);
    if (chmod(by_fd.c_str(), PRIVATE_FOLDER_MODE) == 0)
        return;
    // A failure shows in folder_is_ours.
    struct stat named;
    if (fstatat(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(st, named) ||
        fchmodat(parent_fd, name.c_str(), PRIVATE_FOLDER_MODE, 0) != 0)
        return;
}

// The folder open at fd is the one made at name, and ours (see the
// header): owned as its lock file is, private where modes are kept.
bool folder_is_ours(int parent_fd, const std::string &name, int fd, int lock_fd)
{
    struct stat dir, named, lock;
    if (fstat(fd, &dir) != 0 || !S_ISDIR(dir.st_mode) ||
        fstatat(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(dir, named))
        return false;
    const bool have_lock = lock_fd >= 0 && fstat(lock_fd, &lock) == 0;
    const bool modes_kept =
        !have_lock || (lock.st_mode & PERMISSION_BITS) == PRIVATE_FILE_MODE;
    const uid_t owner = have_lock ? lock.st_uid : geteuid();
    return dir.st_uid == owner &&
           (!modes_kept || (dir.st_mode & PERMISSION_BITS) == PRIVATE_FOLDER_MODE);
}

// An empty folder of ours that was never recorded: removed while its
// name still leads to it.
void remove_unrecorded(int parent_fd, const std::string &name, int fd)
{
    struct stat made, named;
    if (fstat(fd, &made) == 0 &&
        fstatat(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(made, named))
        unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

// Opens the folder just made at name, gives it its private mode and
// locks it; false with *why, the folder left alone when it is not ours.
bool claim_folder(int parent_fd, const std::string &name, PrivateFolder *f,
                  std::string *why)
{
    const int path_fd = openat(parent_fd, name.c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (path_fd < 0)
        return fail_with_reason(why, "opening " + name, errno);
    make_private_mode(parent_fd, name, path_fd);
    const int fd = openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int open_errno = errno;
    if (fd < 0) {
        remove_unrecorded(parent_fd, name, path_fd);
        close(path_fd);
        return fail_with_reason(why, "opening " + name, open_errno);
    }
    close(path_fd);
    // Without locks (some file systems) a killed run's folder stays.
    const int lock_fd = lock_run_folder(fd);
    if (!folder_is_ours(parent_fd, name, fd, lock_fd)) {
        if (lock_fd >= 0) {
            unlinkat(fd, RUN_LOCK_NAME, 0);
            close(lock_fd);
        }
        close(fd);
        if (why)
            *why = "the folder " + name + " in " + folder_path(parent_fd) +
                   " was replaced by someone else";
        return false;
    }
    const int slot = record_folder(parent_fd, name, fd, lock_fd);
    if (slot < 0) {
        if (lock_fd >= 0) {
            close(lock_fd);
            unlinkat(fd, RUN_LOCK_NAME, 0);
        }
        remove_unrecorded(parent_fd, name, fd);
        close(fd);
        if (why)
            *why = "recording " + name + ": too many private folders at once";
        return false;
    }
    f->parent_fd = parent_fd;
    f->name = name;
    f->fd = fd;
    f->slot = slot;
    return true;
}

}  // namespace

void read_user_umask()
{
    if (user_umask.load() != UMASK_UNREAD)
        return;
    int mask = umask_from_proc();
    if (mask == UMASK_UNREAD) {
        const mode_t was = umask(0);
        umask(was);
        mask = static_cast<int>(was);
    }
    user_umask.store(mask);
}

mode_t user_file_mode()
{
    read_user_umask();
    return NEW_FILE_MODE & ~static_cast<mode_t>(user_umask.load());
}

mode_t user_folder_mode()
{
    read_user_umask();
    return NEW_FOLDER_MODE & ~static_cast<mode_t>(user_umask.load());
}

bool make_private_folder(int parent_fd, const std::string &stem,
                         PrivateFolder *f, std::string *why,
                         bool (*is_whole)(int fd))
{
    read_user_umask();
    sweep_private_folders(parent_fd, stem, is_whole);
    // A signal waits until the folder is made, checked and recorded.
    ExitSignalHold hold;
    std::string name;
    if (int err = make_random_folder(parent_fd, stem + PART_TAG,
                                     PRIVATE_FOLDER_MODE, &name))
        return fail_with_reason(why, "creating a folder in " + folder_path(parent_fd), err);
    return claim_folder(parent_fd, name, f, why);
}

void hold_private_file(PrivateFolder *f, int fd)
{
    if (f->slot >= 0)
        folder_records[f->slot].file_fd = fd;
}

bool discard_private_folder(PrivateFolder *f, std::string *why)
{
    if (f->slot < 0)
        return true;
    const bool gone = remove_and_forget(f->slot);
    if (!gone)
        fail_with_reason(why, "removing " + f->name + " in " + folder_path(f->parent_fd), errno);
    *f = PrivateFolder();
    return gone;
}
