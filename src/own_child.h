// Telling, signalling and waiting for the runner's own child without ever
// reaching a process that took over its id. Internal to the library; not
// installed.
//
// A child reaped elsewhere (a SIGCHLD handler of the caller reaps every
// child) frees its id, and a later child of the caller may get it. So the
// runner keeps a handle that names its child alone: the pidfd of the start,
// or, where the kernel gave none (before Linux 5.2, or a sandbox that
// refuses it), the child's /proc directory, whose lookups fail once the child
// is reaped. Every pidfd call that is refused (ENOSYS, EPERM, EINVAL) falls
// back to the handle-less path. Without a handle (no /proc either) only the
// id is left, and a child reaped and replaced between the check and the
// kill or wait is taken for the runner's own; with a /proc handle the same
// holds only if the reap and the reuse both fall between the two calls.
#pragma once

#include <sys/types.h>

namespace velmor_lic {
namespace detail {

// The child's /proc directory, close-on-exec; -1 where it cannot be opened.
int OpenProcHandle(pid_t pid);

// Whether `handle` is a pidfd (else a /proc directory, or -1).
bool IsPidfd(int handle);

enum class ChildIs {
    kOwn,        // this process's own child, running or ended, not yet reaped
    kGone,       // reaped, by whoever: its id may be another process's now
    kElsewhere,  // there, but not a child of this process (a forked copy)
};

ChildIs Identify(pid_t pid, int handle);

// SIGKILL to a child that Identify found to be this process's own: through
// the pidfd, by id where that is refused. 0 or the errno.
int KillOwnChild(pid_t pid, int handle);

// Past a deadline, for a child that leads a process group of its own: when
// Identify finds it this process's own, SIGKILL to every process of its
// group (whose id it keeps from reuse while unreaped) and to itself, in
// whatever group it is by now. False, touching nothing, otherwise.
bool KillOwnChildAndGroup(pid_t pid, int handle);

// Reaps the child when it is this process's own: 1 with its wait status in
// `status`; 0 while it runs (with `nohang`, or interrupted by a signal); -1
// with errno ECHILD when it is gone or not this process's, or another errno
// of the wait.
int ReapOwnChild(pid_t pid, int handle, int& status, bool nohang);

}  // namespace detail
}  // namespace velmor_lic
