// Windows: the console's control events stand for the signals. Ctrl+C and
// Ctrl+Break end the run as SIGINT does (exit 130), closing the console,
// logging off or shutting down as SIGHUP does (129), each after the
// registered clean-ups. The system calls the handler on a thread of its
// own, so a hold simply makes that thread wait.
#include "exit_signals.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

// The signals' numbers, as the exit codes of the other side give them.
const int SIGNAL_HANGUP = 1;
const int SIGNAL_INTERRUPT = 2;
const int SIGNAL_TERMINATE = 15;

std::atomic<ExitCleanup> cleanups[MAX_EXIT_CLEANUPS];
int catch_depth = 0;
// Held while what a clean-up removes is being made; the runner takes it.
std::recursive_mutex hold_lock;

std::atomic<DWORD> runner(0);
// Set once a stop has come: a hold begun after it never ends, as the
// process is about to.
std::atomic<bool> stop_pending(false);

// Runs the clean-ups once, after every hold has ended; a second caller on
// another thread waits for the first to end the process.
void run_cleanups_once()
{
    const DWORD self = GetCurrentThreadId();
    stop_pending.store(true);
    DWORD none = 0;
    if (!runner.compare_exchange_strong(none, self)) {
        if (none == self)
            return;
        for (;;)
            Sleep(INFINITE);
    }
    hold_lock.lock();
    for (int i = MAX_EXIT_CLEANUPS - 1; i >= 0; --i)
        if (ExitCleanup fn = cleanups[i].load())
            fn();
}

[[noreturn]] void end_run(int sig)
{
    run_cleanups_once();
    std::_Exit(SIGNAL_EXIT_BASE + sig);
}

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        end_run(SIGNAL_INTERRUPT);
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        end_run(SIGNAL_HANGUP);
    }
    return FALSE;
}

}  // namespace

void catch_exit_signals()
{
    if (catch_depth++ == 0)
        SetConsoleCtrlHandler(on_console_event, TRUE);
}

void release_exit_signals()
{
    if (catch_depth == 0 || --catch_depth > 0)
        return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
}

bool add_exit_cleanup(ExitCleanup fn)
{
    for (auto &slot : cleanups)
        if (slot.load() == fn)
            return true;
    for (auto &slot : cleanups) {
        ExitCleanup empty = nullptr;
        if (slot.compare_exchange_strong(empty, fn))
            return true;
    }
    return false;
}

void remove_exit_cleanup(ExitCleanup fn)
{
    for (auto &slot : cleanups) {
        ExitCleanup seen = fn;
        slot.compare_exchange_strong(seen, nullptr);
    }
}

void run_exit_cleanups() { run_cleanups_once(); }

ExitSignalHold::ExitSignalHold()
{
    if (stop_pending.load() && runner.load() != GetCurrentThreadId())
        for (;;)
            Sleep(INFINITE);
    hold_lock.lock();
}

ExitSignalHold::~ExitSignalHold() { hold_lock.unlock(); }

void stop_run() { end_run(SIGNAL_TERMINATE); }
