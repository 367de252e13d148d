// Removal of a folder tree that never follows a link, out of
// async-signal-safe calls only, so that the exit-signal handler can use it.
#ifndef PLATFORM_REMOVE_TREE_H
#define PLATFORM_REMOVE_TREE_H

// Removes name in the folder open at dirfd, and everything in it if it is
// a folder. Links are removed, never followed. Threads that still write
// into the tree meanwhile are outlasted: the walk repeats until the top
// folder is gone, after which nothing can be created in it. Returns true
// once name no longer exists; false with errno from the last failure
// (EACCES for a read-only sub-folder, say).
bool remove_tree_at(int dirfd, const char *name);

// Removes everything in the folder open at fd but the entry named keep
// (null: nothing is kept), the folder itself staying. True once nothing
// else is left; false with errno as above.
bool empty_folder(int fd, const char *keep);

#endif
