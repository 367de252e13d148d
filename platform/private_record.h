// The record of the private folders that the exit-signal handler removes,
// shared by the parts of the private-output unit (not for other use).
#ifndef PLATFORM_PRIVATE_RECORD_H
#define PLATFORM_PRIVATE_RECORD_H

#include <limits.h>
#include <sys/types.h>

#include <atomic>
#include <string>

// One folder to remove. Its fields are complete before state says so.
struct FolderRecord {
    std::atomic<int> state;
    std::atomic<pid_t> owner;  // the process that made it
    int parent_fd;
    int fd;
    int lock_fd;   // its run lock, or -1
    int file_fd;   // a file held open in it, or -1
    dev_t dev;
    ino_t ino;
    char name[NAME_MAX + 1];
};

// The maps' save, the web map and its older tree, the tile links, and
// room for more.
const int MAX_FOLDER_RECORDS = 8;
extern FolderRecord folder_records[MAX_FOLDER_RECORDS];

// Takes a free entry and fills it for the folder open at fd, named name
// in parent_fd; -1 when none is free or the name is too long.
int record_folder(int parent_fd, const std::string &name, int fd, int lock_fd);

// The entry names another folder (the older tree after a publication),
// or another name for the same one; its descriptors but the lock stay.
void rerecord_folder(int slot, const std::string &name, int fd);

// Removes the entry's folder (see remove_recorded) and frees the entry.
// False with errno when part of it stayed.
bool remove_and_forget(int slot);

// The entry still names a folder.
bool folder_recorded(int slot);

// Frees the entry without touching the folder, closing its descriptors.
void forget_folder(int slot);

// Where a folder open at fd is, for messages.
std::string folder_path(int fd);

#endif
