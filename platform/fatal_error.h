// How the program ends on a fatal failure: a message through the graphics
// library's message function (a message box where it has one), then exit
// code 1. Only the helpers here write that pair.
#ifndef PLATFORM_FATAL_ERROR_H
#define PLATFORM_FATAL_ERROR_H

// Shows the printf-style message through allegro_message and ends the
// process with exit code 1. Where the library has no message box it
// prints the message on standard output, which carries the progress log;
// standard output points at standard error meanwhile, so the message
// lands with the other errors either way.
[[noreturn]] void fatal_error(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// Called by fatal_error with the message before it is shown, when set: a
// front end stops its own drawing here, or shows the message itself and
// ends the process. Null by default; the run's front end sets it once.
extern void (*fatal_error_hook)(const char *text);

// Adds a step that fatal_error takes before fatal_error_hook and the
// message: a window stops drawing, a terminal's progress line is erased.
// The latest added runs first; a step added twice runs once.
void before_fatal_message(void (*step)());

// Calls show(text) with standard output pointed at standard error, after
// flushing what was written to standard output before.
void show_on_stderr(void (*show)(const char *text), const char *text);

#endif
