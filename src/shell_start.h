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
    char* const* argv = nullptr;
    char* const* envp = nullptr;
};

// Starts the child and returns its id once it runs `path` or has ended; a
// child whose exec fails ends with status 127. The child gets the caller's
// signal mask and ignored signals, handled signals at their default and
// SIGPIPE at its default; fork handlers do not run. Returns -errno when no
// child could be made (nothing is then left open or running).
pid_t StartShell(const ShellStart& start);

}  // namespace detail
}  // namespace velmor_lic
