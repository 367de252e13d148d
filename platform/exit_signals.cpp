#include "exit_signals.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const int EXIT_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                            SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};
const int EXIT_SIGNAL_COUNT = sizeof EXIT_SIGNALS / sizeof EXIT_SIGNALS[0];

// The holds and the signal that came meanwhile, in one word, so that a
// signal is never lost between a hold's end and its arrival: the depth in
// the low bits, the signal above them.
const int HOLD_DEPTH_BITS = 16;
const int HOLD_DEPTH_MASK = (1 << HOLD_DEPTH_BITS) - 1;
std::atomic<int> hold_word(0);

// The thread that runs the clean-ups and its process, in one word that
// changes at once: a forked child inherits the word, not the run.
std::atomic<uint64_t> runner(0);
const int PID_SHIFT = 32;

uint64_t runner_word(pid_t process, pid_t thread)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(process)) << PID_SHIFT |
           static_cast<uint32_t>(thread);
}

// Other threads are parked with this signal while the clean-ups run;
// they are waited for this long at most (one that blocks the signal
// never comes).
const int PARK_SIGNAL_OFFSET = 4;
const long PARK_WAIT_STEP_NS = 1000 * 1000;
const int PARK_WAIT_STEPS = 200;
std::atomic<int> parked(0);
const int DIRENT_BUFFER = 4096;
const int STATUS_BUFFER = 4096;

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

pid_t this_thread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void wait_for_ever()
{
    for (;;)
        pause();
}

void on_park_signal(int)
{
    parked.fetch_add(1);
    wait_for_ever();
}

// Whether thread tid blocks sig, from its SigBlk line in /proc: such a
// thread (GLib keeps some that block every signal) never parks, and is
// not waited for.
bool blocks_signal(pid_t tid, int sig)
{
    char path[64] = "/proc/self/task/";
    char digits[16];
    int n = 0;
    for (pid_t t = tid; t > 0 && n < 15; t /= 10)
        digits[n++] = static_cast<char>('0' + t % 10);
    size_t at = std::strlen(path);
    while (n > 0)
        path[at++] = digits[--n];
    std::memcpy(path + at, "/status", sizeof "/status");
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[STATUS_BUFFER];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    const char *line = std::strstr(text, "SigBlk:");
    if (!line)
        return false;
    const char *hex = line + std::strlen("SigBlk:");
    while (*hex == '\t' || *hex == ' ')
        ++hex;
    // The mask's hex digits, the last one holding signals 1 to 4.
    size_t len = 0;
    while ((hex[len] >= '0' && hex[len] <= '9') ||
           ((hex[len] | 0x20) >= 'a' && (hex[len] | 0x20) <= 'f'))
        ++len;
    const size_t from_end = static_cast<size_t>(sig - 1) / 4;
    if (from_end >= len)
        return false;
    const char c = hex[len - 1 - from_end];
    const int value = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    return (value >> ((sig - 1) % 4) & 1) != 0;
}

// Sends every other thread of the process the park signal and waits a
// little for them to take it. Without /proc nothing is parked.
void park_other_threads(pid_t self)
{
    struct sigaction park;
    std::memset(&park, 0, sizeof park);
    park.sa_handler = on_park_signal;
    sigfillset(&park.sa_mask);
    const int sig = SIGRTMIN + PARK_SIGNAL_OFFSET;
    sigaction(sig, &park, nullptr);
    const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    int sent = 0;
    alignas(dirent64) char buf[DIRENT_BUFFER];
    ssize_t n;
    while ((n = getdents64(fd, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            const pid_t tid = static_cast<pid_t>(std::atol(d->d_name));
            if (tid > 0 && tid != self && !blocks_signal(tid, sig) &&
                syscall(SYS_tgkill, getpid(), tid, sig) == 0)
                ++sent;
        }
    }
    close(fd);
    const struct timespec step = {0, PARK_WAIT_STEP_NS};
    for (int i = 0; i < PARK_WAIT_STEPS && parked.load() < sent; ++i)
        nanosleep(&step, nullptr);
}

bool running_here(pid_t self)
{
    return runner.load() == runner_word(getpid(), self);
}

[[noreturn]] void end_run(int sig)
{
    run_exit_cleanups();
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
    // Our own clean-up is under way on this thread: it ends the process.
    if (running_here(this_thread()))
        return;
    int word = hold_word.load();
    while ((word & HOLD_DEPTH_MASK) != 0) {
        if (word >> HOLD_DEPTH_BITS != 0 ||
            hold_word.compare_exchange_weak(word, word | sig << HOLD_DEPTH_BITS))
            return;  // held: the hold's end ends the run
    }
    end_run(sig);
}

}  // namespace

void run_exit_cleanups()
{
    const pid_t self = this_thread();
    const pid_t process = getpid();
    const uint64_t mine = runner_word(process, self);
    uint64_t seen = runner.load();
    for (;;) {
        if (seen >> PID_SHIFT == static_cast<uint32_t>(process)) {
            if (seen == mine)
                return;
            wait_for_ever();
        }
        if (runner.compare_exchange_weak(seen, mine))
            break;
    }
    park_other_threads(self);
    for (int i = MAX_EXIT_CLEANUPS - 1; i >= 0; --i) {
        ExitCleanup fn = cleanups[i].fn.load();
        if (fn && cleanups[i].owner.load() == process)
            fn();
    }
}

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

ExitSignalHold::ExitSignalHold() { hold_word.fetch_add(1); }

ExitSignalHold::~ExitSignalHold()
{
    int word = hold_word.load();
    while (!hold_word.compare_exchange_weak(
        word, (word & HOLD_DEPTH_MASK) == 1 ? 0 : word - 1)) {
    }
    const int sig = word >> HOLD_DEPTH_BITS;
    if ((word & HOLD_DEPTH_MASK) == 1 && sig != 0)
        end_run(sig);
}

void stop_run() { kill(getpid(), SIGTERM); }
void defer_exit_signals(int fd) { defer_fd.store(fd); }

void end_by_exit_signal(int sig) { end_run(sig); }
