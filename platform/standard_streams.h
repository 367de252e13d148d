// The process's standard streams: the ones a caller closed are given the
// null device, so that no file we open takes their number, and --quiet
// sends standard output there.
#ifndef PLATFORM_STANDARD_STREAMS_H
#define PLATFORM_STANDARD_STREAMS_H

// Gives each closed standard stream the null device; false if one
// cannot be opened.
bool open_closed_streams();

// Points standard output at the null device; false with errno set on
// failure.
bool discard_standard_output();

// The null device's name, for messages.
extern const char NULL_DEVICE[];

#endif
