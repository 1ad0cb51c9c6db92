// Starting a child program (the runner's "/bin/sh -c", RunCommand's program)
// in a process that shares the parent's memory until it has exec'd. Internal
// to the library; not installed.
#pragma once

#include <sys/types.h>

namespace velmor_lic {
namespace detail {

// What the child does before the exec, all prepared by the parent: the child
// only reads it. A descriptor of -1 leaves that standard descriptor as
// inherited; the others must lie above 2 and be close-on-exec.
struct ShellStart {
    int stdinFd = -1;   // becomes the child's 0
    int stdoutFd = -1;  // becomes the child's 1
    int stderrFd = -1;  // becomes the child's 2
    const char* path = nullptr;
    // The process name the kernel will give it at the exec (the last part of
    // `path`), set before the exec so that no one sees the caller's name.
    const char* name = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    // Leads a process group of its own (setpgid(0, 0) before the exec).
    bool ownProcessGroup = false;
    // Asks the kernel for a pidfd of the child (CLONE_PIDFD, Linux 5.2).
    bool askPidfd = true;

    // What RunCommand asks beyond the shell's start; the defaults leave the
    // runner's start as it is.
    // The paths tried in turn, null-terminated, as execvp tries the PATH:
    // EACCES is remembered and the search goes on past a missing file; any
    // other failure ends it. Null: `path` alone.
    const char* const* searchPaths = nullptr;
    // "/bin/sh", a free slot, then argv[1..]: run for a file the kernel
    // refuses with ENOEXEC, with the file's path written into slot 1 by the
    // child (the one array of the parent it writes). Null: no such fallback.
    char** scriptArgv = nullptr;
    // The working directory changed to before the exec; null: the caller's.
    const char* cwd = nullptr;
    // Closes every descriptor above 2 before the exec: close_range, else
    // those listed in /proc/self/fd, else every one below `fdLimit`.
    bool closeOtherFds = false;
    int fdLimit = 0;
    // Every signal at its default and none blocked, instead of the caller's
    // mask and ignored signals.
    bool defaultSignals = false;
};

// What a start made. `error` is the errno when no child could be made
// (nothing is then left open or running); otherwise `pid` is the child's id.
struct StartedShell {
    pid_t pid = -1;
    int error = 0;
    // Close-on-exec, owned by the caller; -1 where the kernel gave none (it
    // ignores CLONE_PIDFD before 5.2, or refuses it).
    int pidfd = -1;
    // The errno of an exec that failed, or of the chdir before it when
    // `chdirFailed`; the child has then ended with 127.
    int execError = 0;
    bool chdirFailed = false;
};

// Starts the child and returns once it runs `path` or has ended. The child
// gets the caller's signal mask and ignored signals, handled signals at their
// default and SIGPIPE at its default (all at their default with
// `defaultSignals`); fork handlers do not run.
StartedShell StartShell(const ShellStart& start);

}  // namespace detail
}  // namespace velmor_lic
