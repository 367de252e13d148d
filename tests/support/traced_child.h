// A child process traced system call by system call, so that a test can
// act at an exact point of a run (stop it, change what a call returned,
// change the files it works on). x86-64 only.
#ifndef TESTS_SUPPORT_TRACED_CHILD_H
#define TESTS_SUPPORT_TRACED_CHILD_H

#if defined(__x86_64__)
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "exit_signals.h"

// Runs fn in a traced child and calls on_stop(pid, regs, entering) at
// each stop on entering and leaving a system call of its first thread,
// so that a test can act at an exact point of a save (or change what a
// call returned). fn may exec a program, which is then traced.
// Returns the child's exit code, 128 plus the signal that ended it, or
// -1 when it cannot be traced.
template <typename Fn, typename Stop>
inline int traced_child(Fn fn, Stop on_stop)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(99);
        raise(SIGSTOP);
        _exit(fn());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return -1;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC);
    bool entering = true;
    int deliver = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, deliver);
        deliver = 0;
        if (waitpid(pid, &status, 0) != pid)
            return -1;
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return SIGNAL_EXIT_BASE + WTERMSIG(status);
        // An exec of fn's: the program that it starts is traced on.
        if (status >> 16 == PTRACE_EVENT_EXEC)
            continue;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            deliver = WSTOPSIG(status);
            continue;
        }
        struct user_regs_struct regs;
        ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
        on_stop(pid, regs, entering);
        entering = !entering;
    }
}

// A string in the traced child's memory.
inline std::string traced_string(pid_t pid, unsigned long long at)
{
    std::string s;
    for (;; at += sizeof(long)) {
        const long word = ptrace(PTRACE_PEEKDATA, pid, at, nullptr);
        const char *c = reinterpret_cast<const char *>(&word);
        for (size_t i = 0; i < sizeof word; ++i) {
            if (c[i] == '\0')
                return s;
            s += c[i];
        }
    }
}

#endif

#endif
