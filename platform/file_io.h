// Small file and folder helpers that several subsystems write with.
#ifndef PLATFORM_FILE_IO_H
#define PLATFORM_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Writes all size bytes of data to fd, going on after short writes and
// interruptions. False with errno set when a write fails; EIO when a
// write writes nothing without an error.
bool write_all(int fd, const char *data, size_t size);

// Sets *why, when given, to what failed and the system's reason for err;
// false, for returning at once.
bool fail_with_reason(std::string *why, const std::string &what, int err);

// Reads the whole file at path into *data; false with errno set when it
// cannot be opened or read.
bool read_whole_file(const std::string &path, std::string *data);
// A second descriptor of the file open at fd, not inherited by programs
// that we start; -1 with errno on failure.
int duplicate_descriptor(int fd);

// Opens the file called name, in the graphics library's text encoding
// (UTF-8), for writing as fopen(name, "wb") does; null on failure.
std::FILE *create_named_file(const char *name);

// Opens the file called name (as above) for reading, as fopen(name, "rb")
// does; null on failure.
std::FILE *open_named_file(const char *name);

// The size in bytes of the file called name (as above); -1 when it
// cannot be read.
int64_t named_file_size(const char *name);

// Removes the file called name (as above) if it is a regular file.
void remove_named_regular_file(const char *name);

// Makes the graphics library open files by UTF-8 names on every system
// driver (Windows: through the wide calls; its own choice depends on the
// driver, and the one without a display kept the ANSI code page). Call
// after the library starts.
void use_system_file_names();

// The current working folder's path, for messages; "." when the system
// cannot give it.
std::string current_folder();

#endif
