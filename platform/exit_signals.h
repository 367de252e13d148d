// How the run ends when it is told to stop: the signals that a shell, a
// terminal, a pipe or a user sends (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE) end the process with exit code 128
// plus the signal's number, after the clean-ups that the subsystems
// registered have removed what they had made (an unfinished map, the tile
// links). Writes past the file-size limit fail with EFBIG instead of
// killing the process with SIGXFSZ.
#ifndef PLATFORM_EXIT_SIGNALS_H
#define PLATFORM_EXIT_SIGNALS_H

// Shells report a process ended by signal n as 128 + n; ours exits so.
const int SIGNAL_EXIT_BASE = 128;

// Installs the handler, taking the place of any other handler of those
// signals (the graphics library installs its own when it starts: call
// this again after it). A signal that was ignored when this was first
// called (nohup) stays ignored. Calls nest: each must be matched by a
// release_exit_signals, and the last release puts back what the first
// call replaced.
void catch_exit_signals();
void release_exit_signals();

// A clean-up that the handler runs before the process ends. It must make
// only async-signal-safe calls and read only data that is complete at any
// instant (set names before the flag that makes them count). It runs in
// the process that registered it only, never in a forked child.
using ExitCleanup = void (*)();

// Registers fn; false when all MAX_EXIT_CLEANUPS slots are taken.
// Registering a clean-up again changes nothing.
const int MAX_EXIT_CLEANUPS = 8;
bool add_exit_cleanup(ExitCleanup fn);
void remove_exit_cleanup(ExitCleanup fn);

// A stretch during which what a clean-up removes is being made and its
// name recorded (a folder created, then named for removal): an exit
// signal meanwhile, on any thread, waits until resume_exit_signals, and
// the process then ends as it would have. Does not nest.
void hold_exit_signals();
void resume_exit_signals();

// While fd is not -1, an exit signal ends nothing: its number is written
// as one byte to fd (a non-blocking pipe that the caller watches), and
// the caller ends the run when it is ready, with end_by_exit_signal.
void defer_exit_signals(int fd);
[[noreturn]] void end_by_exit_signal(int sig);

#endif
