// How the run ends when it is told to stop: the signals that a shell, a
// terminal, a pipe or a user sends (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE) end the process with exit code 128
// plus the signal's number, after the clean-ups that the subsystems
// registered have removed what they had made (an unfinished map, the tile
// links). Writes past the file-size limit fail with EFBIG instead of
// killing the process with SIGXFSZ.
//
// The clean-ups run once, on one thread: a second signal, on that thread
// or another, waits for the first to end the process. Every other thread
// of the process is stopped first, so that no writer (libvips's, say)
// keeps creating files in a folder that is being removed.
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

// For a path that must end the process at once from any thread (the
// display gone, say): stops the other threads, runs the registered
// clean-ups and returns, once. A later call on the same thread returns at
// once; a call on another thread (or an exit signal) waits for ever, as
// the process is about to end. Async-signal-safe. The caller must then
// end the process with _exit, making only async-signal-safe calls before
// it (write, not stdio: a stopped thread may hold its lock).
void run_exit_cleanups();

// A stretch during which what a clean-up removes is being made and its
// name recorded (a folder created, then named for removal): an exit
// signal meanwhile, on any thread, waits until the hold ends, and the
// process then ends as it would have. Holds nest; the outermost one's end
// lets the waiting signal through. Scoped, so that no return or
// exception leaves the signals held.
class ExitSignalHold {
public:
    ExitSignalHold();
    ~ExitSignalHold();
    ExitSignalHold(const ExitSignalHold &) = delete;
    ExitSignalHold &operator=(const ExitSignalHold &) = delete;
};

// Ends the run as SIGTERM from kill does: clean-ups, then exit 143.
void stop_run();
// While fd is not -1, an exit signal ends nothing: its number is written
// as one byte to fd (a non-blocking pipe that the caller watches), and
// the caller ends the run when it is ready, with end_by_exit_signal.
void defer_exit_signals(int fd);
[[noreturn]] void end_by_exit_signal(int sig);

#endif
