// Starting the runner's child: "/bin/sh -c" in a process that shares the
// parent's memory until it has exec'd. Internal to the library; not installed.
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
};

// What a start made. `error` is the errno when no child could be made
// (nothing is then left open or running); otherwise `pid` is the child's id.
struct StartedShell {
    pid_t pid = -1;
    int error = 0;
    // Close-on-exec, owned by the caller; -1 where the kernel gave none (it
    // ignores CLONE_PIDFD before 5.2, or refuses it).
    int pidfd = -1;
    // The errno of an exec that failed; the child has then ended with 127.
    int execError = 0;
};

// Starts the child and returns once it runs `path` or has ended. The child
// gets the caller's signal mask and ignored signals, handled signals at their
// default and SIGPIPE at its default; fork handlers do not run.
StartedShell StartShell(const ShellStart& start);

}  // namespace detail
}  // namespace velmor_lic
