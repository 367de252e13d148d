// Private output: everything a run writes where others may look (the
// output folder, $TMPDIR) is first made in a folder of its own, and only
// a whole result is published, by one rename.
//
// Such a folder is named <stem>.part-<16 random hex digits>, made with
// mode 0700 (set explicitly, whatever the umask) and checked to be the
// one made, not one swapped in after the mkdir: its descriptor is a
// folder, the one at its name now (device and inode), owned as the lock
// file we create in it is, and closed to others where the file system
// keeps modes (FAT, exFAT, CIFS give every file one owner and mode, and
// cannot hold links). It holds a run lock (see run_folder.h) while it is
// in use and is recorded for the exit-signal handler, which removes it
// (run_exit_cleanups). The next run that makes a folder of the same stem
// removes the folders that runs which could not clean up left
// (<stem>.part-* whose lock nobody holds, <stem>.old-*), after checking
// that the folder it inspected is the one it removes.
//
// The process umask is read once and never changed: threads of
// libraries (libvips's writer) create files meanwhile. What is published
// gets the modes any new file of the user gets.
#ifndef PLATFORM_PRIVATE_OUTPUT_H
#define PLATFORM_PRIVATE_OUTPUT_H

#include <sys/types.h>

#include <string>

// Reads the user's umask, without changing it; the program calls this
// at start-up. Later calls, and the modes below, use what was read.
void read_user_umask();

// 0666 and 0777 less that umask: what a new file and folder get.
mode_t user_file_mode();
mode_t user_folder_mode();

// A folder of the run's own, in the folder open at parent_fd.
struct PrivateFolder {
    int parent_fd = -1;  // borrowed: never closed here
    std::string name;    // its name in the parent
    int fd = -1;         // the folder, open for reading
    int slot = -1;       // its entry in the record the handler reads
};

// Removes what earlier runs left under stem (see above; a <stem>.old-*
// that is_whole accepts is put back at stem when stem is missing), then
// makes the folder <stem>.part-<digits> in parent_fd. False, with *why
// saying what failed, where and the system's reason, when it cannot be
// made or is not ours (then it is left alone). Exit signals wait
// meanwhile.
bool make_private_folder(int parent_fd, const std::string &stem,
                         PrivateFolder *f, std::string *why,
                         bool (*is_whole)(int fd) = nullptr);

// A descriptor of a file in the folder that the removal closes first:
// FUSE file systems keep an open file under a hidden name.
void hold_private_file(PrivateFolder *f, int fd);

// Removes the folder and everything in it, without following links, and
// closes it; safe on a folder never made. False, with *why, when part of
// it stays (a read-only sub-folder, say): it then keeps a free lock, so
// that a later run removes it once it can.
bool discard_private_folder(PrivateFolder *f, std::string *why = nullptr);

// Moves file, made in the folder, over target in the parent, and
// flushes the parent. False with *why.
bool publish_file(PrivateFolder *f, const char *file, const char *target,
                  std::string *why);

// As publish_file, into the folder open at dir_fd (below the parent, on
// the same file system), without the flush: for files that a reader must
// only ever find whole, not ones that must outlast a power loss (the web
// map's tiles while they are followed).
bool publish_file_into(PrivateFolder *f, const char *file, int dir_fd,
                       const char *target, std::string *why);

// Puts the folder entry, made in f, at target in the folder open at
// dir_fd (as above), in place of an older folder there by one exchange;
// where the file system has none, the older one is moved into f first
// and put back if the second rename fails. The older one is then removed
// from f; a run killed meanwhile leaves it in f, which the next sweep
// removes. False with *why; the older folder is in place then.
bool replace_folder_into(PrivateFolder *f, const char *entry, int dir_fd,
                         const char *target, std::string *why);

// Removes from the folder open at parent_fd what runs that could not
// clean up left under stem, as make_private_folder does first, for a run
// that makes no such folder itself. "" or, for the first that stayed, its
// name and the system's reason.
std::string sweep_private_leftovers(int parent_fd, const std::string &stem);

// The folder's contents, whole, in place of an older target.
struct FolderPublication {
    const char *target;   // its name in the parent (map_web)
    const char *kind;     // what it is, for messages ("web map")
    // Is the folder open at fd a whole one of ours (its marker there)?
    bool (*is_whole)(int fd);
    // A file in the folder moved beside target with it (map.html), or null.
    const char *companion;
};

// Flushes the folder to the disk, gives it the user's folder mode, and
// puts it at p.target: by rename, by exchange with an older one, or
// where the file system has no exchange (FAT, exFAT) by moving the older
// one aside first; exit signals wait during the renames, and a run killed
// between them leaves both, which the next run puts back or removes. An
// existing target that is not a whole one of ours fails the publication
// and the companion is not moved. The older tree is then removed; false
// with *why also when it stays, or one that an earlier run could not
// remove still does (the new one is in place then). Once published f is
// emptied; otherwise the caller discards it.
bool publish_folder(PrivateFolder *f, const FolderPublication &p,
                    std::string *why);

#endif
