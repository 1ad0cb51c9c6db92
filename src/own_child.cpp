#include "own_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "eintr_retry.h"

#ifndef P_PIDFD
#define P_PIDFD 3  // Linux 5.4; older C library headers lack it
#endif

namespace velmor_lic {
namespace detail {

namespace {

// Refusals that mean "this kernel or its sandbox has no such call", not an
// answer about the process.
bool Refused(int err) { return err == ENOSYS || err == EPERM || err == EINVAL; }

// A signal through a pidfd: 0, or the errno (ENOSYS where the call is missing).
int SignalThroughPidfd(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0 ? 0 : errno;
#else
    (void)pidfd;
    (void)sig;
    return ENOSYS;
#endif
}

int WaitThroughPidfd(int pidfd, siginfo_t& info, int options) {
    info = siginfo_t{};  // si_pid stays 0 when WNOHANG finds it running
    return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, options) == 0 ? 0 : errno;
}

// Whether `pid` is a child of this process, running or ended, not yet reaped.
bool IsUnreapedChild(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// What the id alone says: right unless the child was reaped and its id taken.
ChildIs IdentifyById(pid_t pid) {
    if (IsUnreapedChild(pid)) return ChildIs::kOwn;
    return ::kill(pid, 0) == 0 || errno == EPERM ? ChildIs::kElsewhere : ChildIs::kGone;
}

// While the process a handle names is there, its id is its own: no other
// process can have it, so the id answers for it. False: no answer here.
bool AnswerThroughPidfd(pid_t pid, int pidfd, ChildIs& answer) {
    siginfo_t info;
    const int waited = WaitThroughPidfd(pidfd, info, WEXITED | WNOHANG | WNOWAIT);
    const int signalled = waited == 0 ? 0 : SignalThroughPidfd(pidfd, 0);
    if (waited == 0) {
        answer = ChildIs::kOwn;
    } else if (signalled == ESRCH) {
        answer = ChildIs::kGone;
    } else if (waited == ECHILD) {
        answer = ChildIs::kElsewhere;  // there, or not to be told: not an unreaped child here
    } else if (signalled == 0) {
        answer = IsUnreapedChild(pid) ? ChildIs::kOwn : ChildIs::kElsewhere;  // P_PIDFD refused
    } else {
        return false;
    }
    return true;
}

// Lookups under a /proc directory fail (ENOENT) once its process is reaped.
ChildIs AnswerThroughProcDir(pid_t pid, int dir) {
    if (::faccessat(dir, "stat", F_OK, 0) != 0) return ChildIs::kGone;
    return IsUnreapedChild(pid) ? ChildIs::kOwn : ChildIs::kElsewhere;
}

}  // namespace

int OpenProcHandle(pid_t pid) {
    char path[32];
    (void)std::snprintf(path, sizeof(path), "/proc/%ld", static_cast<long>(pid));
    return OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool IsPidfd(int handle) {
    struct stat st {};
    return handle >= 0 && ::fstat(handle, &st) == 0 && !S_ISDIR(st.st_mode);
}

ChildIs Identify(pid_t pid, int handle) {
    if (pid <= 0) return ChildIs::kGone;
    if (handle < 0) return IdentifyById(pid);
    if (!IsPidfd(handle)) return AnswerThroughProcDir(pid, handle);
    ChildIs answer = ChildIs::kGone;
    return AnswerThroughPidfd(pid, handle, answer) ? answer : IdentifyById(pid);
}

int KillOwnChild(pid_t pid, int handle) {
    if (IsPidfd(handle)) {
        const int err = SignalThroughPidfd(handle, SIGKILL);
        if (!Refused(err)) return err;
    }
    // Found to be this process's own and unreaped: no other process has its id.
    return ::kill(pid, SIGKILL) == 0 ? 0 : errno;
}

bool KillOwnChildAndGroup(pid_t pid, int handle) {
    if (Identify(pid, handle) != ChildIs::kOwn) return false;
    (void)::kill(-pid, SIGKILL);
    (void)KillOwnChild(pid, handle);
    return true;
}

int ReapOwnChild(pid_t pid, int handle, int& status, bool nohang) {
    if (IsPidfd(handle)) {
        siginfo_t info;
        int err;
        do {
            err = WaitThroughPidfd(handle, info, WEXITED | (nohang ? WNOHANG : 0));
        } while (err == EINTR && !nohang);
        if (err == 0 && info.si_pid == 0) return 0;
        if (err == 0) {
            // As waitpid gives it; whether a core was dumped matters to no caller.
            status = info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status & 0xff, 0) : info.si_status & 0x7f;
            return 1;
        }
        if (err == EINTR) return 0;
        if (!Refused(err)) {
            errno = err;
            return -1;
        }
    }
    if (handle >= 0 && Identify(pid, handle) != ChildIs::kOwn) {
        errno = ECHILD;
        return -1;
    }
    pid_t ended;
    do {
        ended = ::waitpid(pid, &status, nohang ? WNOHANG : 0);
    } while (ended < 0 && errno == EINTR && !nohang);
    if (ended > 0) return 1;
    return ended == 0 || errno == EINTR ? 0 : -1;
}

}  // namespace detail
}  // namespace velmor_lic
