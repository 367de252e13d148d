// Folders that a run makes for its own use (an unfinished map, the tile
// links) carry a lock file, locked while the run uses the folder, so that
// a later run can tell the leftovers of a run that could not clean up
// (killed, power lost) from folders in use, and remove only the former
// (private_output.h).
// The lock is flock on a file opened for writing: local file systems,
// FAT and exFAT (kernel or FUSE) keep it, and NFS and CIFS pass it to the
// server, so that runs on other machines see it too.
#ifndef PLATFORM_RUN_FOLDER_H
#define PLATFORM_RUN_FOLDER_H

// The lock file's name in such a folder.
extern const char RUN_LOCK_NAME[];

// Makes the lock file in the folder open at dir_fd and takes its lock.
// The file appears under RUN_LOCK_NAME only once it is locked. Returns
// its descriptor (close-on-exec; closing it, or the end of the process,
// frees the lock), or -1 with errno when the file system cannot lock:
// the folder then has no lock file and no run ever takes it for a
// leftover.
int lock_run_folder(int dir_fd);

#endif
