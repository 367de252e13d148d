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

// A run from the desktop menu has no terminal, yet Windows opens a console
// window for a console program started from the Start menu: a console that
// this process alone is attached to, and that its output goes to, is let
// go and those streams get the null device. A console shared with a shell,
// output sent to a file or pipe, and a terminal stay. False if the null
// device cannot be opened.
bool leave_own_console();

// The null device's name, for messages.
extern const char NULL_DEVICE[];

#endif
