// Names that nobody can predict, for the folders and files a run makes
// in folders that others may share.
#ifndef PLATFORM_RANDOM_NAME_H
#define PLATFORM_RANDOM_NAME_H

#include <sys/types.h>

#include <string>

// Random bytes in such a name, as twice as many hex digits.
const int NAME_RANDOM_BYTES = 8;

// Sets *name to prefix followed by NAME_RANDOM_BYTES bytes from the
// system's random source as hex digits. False, with errno set, when the
// source fails; a short read is read on.
bool random_name(const std::string &prefix, std::string *name);

// Makes a folder of mode (less the umask) under a fresh random name
// after prefix in the folder open at parent_fd, trying a few names
// should one exist already. Returns 0 with *name set, or the errno.
int make_random_folder(int parent_fd, const std::string &prefix, mode_t mode,
                       std::string *name);

#endif
