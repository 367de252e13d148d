// Small file and folder helpers that several subsystems write with.
#ifndef PLATFORM_FILE_IO_H
#define PLATFORM_FILE_IO_H

#include <cstddef>
#include <string>

// Writes all size bytes of data to fd, going on after short writes and
// interruptions. False with errno set when a write fails; EIO when a
// write writes nothing without an error.
bool write_all(int fd, const char *data, size_t size);

// Reads the whole file at path into *data; false with errno set when it
// cannot be opened or read.
bool read_whole_file(const std::string &path, std::string *data);

// The current working folder's path, for messages; "." when the system
// cannot give it.
std::string current_folder();

#endif
