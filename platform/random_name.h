// Names that nobody can predict, for the folders and files a run makes
// in folders that others may share.
#ifndef PLATFORM_RANDOM_NAME_H
#define PLATFORM_RANDOM_NAME_H

#include <string>

// Sets *name to prefix followed by random_bytes bytes from the system's
// random source as hex digits. False, with errno set, when the source
// fails; a short read is read on.
bool random_name(const std::string &prefix, int random_bytes, std::string *name);

#endif
