// Removal of a folder tree that never follows a link, out of
// async-signal-safe calls only, so that the exit-signal handler can use it.
#ifndef WEB_REMOVE_TREE_H
#define WEB_REMOVE_TREE_H

// Removes name in the folder open at dirfd, and everything in it if it is
// a folder. Links are removed, never followed. Threads that still write
// into the tree meanwhile are outlasted: the walk repeats until the top
// folder is gone, after which nothing can be created in it. Returns true
// once name no longer exists.
bool remove_tree_at(int dirfd, const char *name);

#endif
