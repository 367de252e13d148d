#include "exit_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

const int EXIT_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                            SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};
const int EXIT_SIGNAL_COUNT = sizeof EXIT_SIGNALS / sizeof EXIT_SIGNALS[0];

// Held: a signal that comes is left in the state for resume_exit_signals.
const int STATE_FREE = 0;
const int STATE_HOLDING = -1;
std::atomic<int> state(STATE_FREE);

// Lock-free atomics, so that the handler may read them on any thread.
struct CleanupSlot {
    std::atomic<ExitCleanup> fn;
    std::atomic<pid_t> owner;
};
CleanupSlot cleanups[MAX_EXIT_CLEANUPS];

int catch_depth = 0;
bool ignored_at_start[EXIT_SIGNAL_COUNT];
struct sigaction replaced[EXIT_SIGNAL_COUNT];
struct sigaction replaced_xfsz;

[[noreturn]] void end_run(int sig)
{
    const pid_t self = getpid();
    for (int i = MAX_EXIT_CLEANUPS - 1; i >= 0; --i) {
        ExitCleanup fn = cleanups[i].fn.load();
        if (fn && cleanups[i].owner.load() == self)
            fn();
    }
    _exit(SIGNAL_EXIT_BASE + sig);
}

// Where a deferred signal's number goes, or -1.
std::atomic<int> defer_fd(-1);

void on_exit_signal(int sig)
{
    const int fd = defer_fd.load();
    if (fd >= 0) {
        const int saved = errno;
        const unsigned char byte = static_cast<unsigned char>(sig);
        if (write(fd, &byte, 1) != 1) {
            // A full pipe already holds a signal to act on.
        }
        errno = saved;
        return;
    }
    int seen = STATE_HOLDING;
    if (state.compare_exchange_strong(seen, sig) || seen > 0)
        return;  // held: resume_exit_signals ends the run
    end_run(sig);
}

}  // namespace

void catch_exit_signals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_exit_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : EXIT_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);

    const bool first = catch_depth++ == 0;
    for (int i = 0; i < EXIT_SIGNAL_COUNT; ++i) {
        if (first) {
            sigaction(EXIT_SIGNALS[i], nullptr, &replaced[i]);
            ignored_at_start[i] = replaced[i].sa_handler == SIG_IGN;
        }
        sigaction(EXIT_SIGNALS[i], ignored_at_start[i] ? &ignore : &action,
                  nullptr);
    }
    // A failed write then reports "File too large" like any other.
    sigaction(SIGXFSZ, &ignore, first ? &replaced_xfsz : nullptr);
}

void release_exit_signals()
{
    if (catch_depth == 0 || --catch_depth > 0)
        return;
    for (int i = 0; i < EXIT_SIGNAL_COUNT; ++i)
        sigaction(EXIT_SIGNALS[i], &replaced[i], nullptr);
    sigaction(SIGXFSZ, &replaced_xfsz, nullptr);
}

bool add_exit_cleanup(ExitCleanup fn)
{
    const pid_t self = getpid();
    for (CleanupSlot &slot : cleanups)
        if (slot.fn.load() == fn && slot.owner.load() == self)
            return true;
    for (CleanupSlot &slot : cleanups) {
        ExitCleanup empty = nullptr;
        // A slot of a process that forked us is free for ours.
        if (slot.fn.load() && slot.owner.load() != self) {
            slot.owner.store(0);
            slot.fn.store(nullptr);
        }
        if (slot.fn.compare_exchange_strong(empty, fn)) {
            slot.owner.store(self);
            return true;
        }
    }
    return false;
}

void remove_exit_cleanup(ExitCleanup fn)
{
    const pid_t self = getpid();
    for (CleanupSlot &slot : cleanups)
        if (slot.fn.load() == fn && slot.owner.load() == self) {
            slot.owner.store(0);
            slot.fn.store(nullptr);
        }
}

void hold_exit_signals() { state.store(STATE_HOLDING); }

void resume_exit_signals()
{
    const int sig = state.exchange(STATE_FREE);
    if (sig > 0)
        end_run(sig);
}

void defer_exit_signals(int fd) { defer_fd.store(fd); }

void end_by_exit_signal(int sig) { end_run(sig); }
