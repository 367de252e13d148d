// The POSIX side of the tests' helpers: scratch folders, streams, commands
// and the check of a process that exits while a stream is captured.
#include "test_support.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// An exit code that no test expects.
const int EXIT_WHILE_CAPTURED = 86;
const int STREAMS[] = {STDOUT_FILENO, STDERR_FILENO};

// What standard output and error were when the process started or was
// forked: a capture the parent holds is the parent's to remove, whichever
// stream it is found on later (a child may send one to the other).
struct stat inherited_streams[2];

void note_inherited_streams()
{
    for (int i = 0; i < 2; ++i)
        if (fstat(STREAMS[i], &inherited_streams[i]) != 0)
            inherited_streams[i] = {};
}

// GoogleTest captures a stream into a file in /tmp that only reading the
// capture removes: a process (a death test's child, say) that exits while
// a capture of its own is running leaves that file behind. Such an exit
// removes the file and fails with a code of its own.
void refuse_exit_while_captured()
{
    auto inherited = [](const struct stat &st) {
        for (const struct stat &in : inherited_streams)
            if (st.st_dev == in.st_dev && st.st_ino == in.st_ino)
                return true;
        return false;
    };
    for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (fstat(STREAMS[i], &st) != 0 || inherited(st))
            continue;
        char link[32], target[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", STREAMS[i]);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (std::strstr(target, "/gtest_captured_stream.")) {
            unlink(target);
            dprintf(STREAMS[1 - i], "exit while a stream is captured into %s\n",
                    target);
            _exit(EXIT_WHILE_CAPTURED);
        }
    }
}

const bool exit_check_registered =
    (note_inherited_streams(),
     pthread_atfork(nullptr, nullptr, note_inherited_streams) == 0 &&
         std::atexit(refuse_exit_while_captured) == 0);

}  // namespace

const char OTHER_USERS_TEMP[] = "/tmp";

std::string make_temp_dir(const char *base)
{
    if (!base)
        base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") +
                          "/mapper-test-XXXXXX";
    std::string buf = pattern;
    if (!mkdtemp(&buf[0]))
        throw std::runtime_error("cannot create a temporary folder");
    return buf;
}

void discard_stdout()
{
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
        std::abort();
    close(null);
}

void remove_tree(const std::string &path)
{
    std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" +
                      path + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string run_command(const std::string &command, int *status)
{
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

void messages_to_stderr()
{
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

bool hide_proc()
{
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

bool can_hide_proc()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(hide_proc() ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
