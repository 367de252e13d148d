// Small file and folder helpers that several subsystems write with.
#ifndef PLATFORM_FILE_IO_H
#define PLATFORM_FILE_IO_H

#include <cstddef>
#include <string>

// Writes all size bytes of data to fd, going on after short writes and
// interruptions. False with errno set when a write fails.
bool write_all(int fd, const char *data, size_t size);

// A second descriptor of the file open at fd, not inherited by programs
// that we start; -1 with errno on failure.
int duplicate_descriptor(int fd);

// The current working folder's path, for messages; "." when the system
// cannot give it.
std::string current_folder();

#endif
