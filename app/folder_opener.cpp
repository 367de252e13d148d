#include "folder_opener.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

extern char **environ;

namespace {

const char OPENER[] = "xdg-open";
const char OPENING[] = "Opening the folder";
const char OPENED[] = "The folder was opened";

// xdg-open's exit codes, from its manual.
const char *const EXIT_REASONS[] = {
    nullptr,
    "bad command line",
    "the folder was not found",
    "no method available",
    "the action failed",
};
const int KNOWN_EXITS = sizeof EXIT_REASONS / sizeof EXIT_REASONS[0];

std::mutex status_lock;
std::string status;        // guarded by status_lock
unsigned changes = 0;      // guarded by status_lock
unsigned last_started = 0; // guarded by status_lock: the opener reported

void set_status(unsigned opener, const std::string &text)
{
    std::lock_guard<std::mutex> hold(status_lock);
    if (opener != last_started)
        return;
    status = text;
    ++changes;
}

std::string outcome(int wait_status)
{
    if (WIFSIGNALED(wait_status))
        return std::string(OPENER) + ": ended by signal " +
               std::to_string(WTERMSIG(wait_status));
    const int code = WEXITSTATUS(wait_status);
    if (code == 0)
        return OPENED;
    const std::string exit = "exit " + std::to_string(code);
    if (code < KNOWN_EXITS)
        return std::string(OPENER) + ": " + EXIT_REASONS[code] + " (" + exit +
               ")";
    return std::string(OPENER) + ": " + exit;
}

// Reaps the opener, so that it leaves no zombie, and reports its end.
void wait_for(pid_t child, unsigned opener)
{
    int wait_status = 0;
    pid_t got;
    while ((got = waitpid(child, &wait_status, 0)) < 0 && errno == EINTR) {
    }
    set_status(opener, got == child
                           ? outcome(wait_status)
                           : std::string(OPENER) + ": " + std::strerror(errno));
}

// The child starts with every signal unblocked and at its default.
int spawn_opener(const std::string &folder, pid_t *child)
{
    posix_spawnattr_t attr;
    if (int err = posix_spawnattr_init(&attr))
        return err;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char *argv[] = {const_cast<char *>(OPENER),
                    const_cast<char *>(folder.c_str()), nullptr};
    const int err = posix_spawnp(child, OPENER, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return err;
}

}  // namespace

bool open_folder(const std::string &folder, std::string *why)
{
    pid_t child;
    if (int err = spawn_opener(folder, &child)) {
        *why = std::string(OPENER) + ": " + std::strerror(err);
        return false;
    }
    unsigned opener;
    {
        std::lock_guard<std::mutex> hold(status_lock);
        opener = ++last_started;
        status = OPENING;
        ++changes;
    }
    try {
        std::thread(wait_for, child, opener).detach();
    } catch (const std::system_error &e) {
        set_status(opener, std::string(OPENER) + " started, not watched: " +
                               e.what());
    }
    return true;
}

std::string opening_status(unsigned *change)
{
    std::lock_guard<std::mutex> hold(status_lock);
    *change = changes;
    return status;
}
