// The runner's child is made with clone(CLONE_VM | CLONE_VFORK): it runs in
// the parent's memory, on a stack of its own, while the calling thread waits
// until it has exec'd or ended. The start then costs the same whatever the
// parent's size, copies no page table, leaves no page copy-on-write, and the
// exec is known once clone returns.
//
// Until its exec the child shares every byte with the parent, so it writes
// nothing but its own stack: no C library call (even a failing one would set
// the parent's errno through the shared thread pointer), only the raw system
// calls below. No handler of the parent may run in it either: every signal
// stays blocked until the handled ones are back at their default.
#include "shell_start.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace velmor_lic {
namespace detail {

namespace {

// Code that runs in the child must not be instrumented: a sanitizer would
// write its shadow memory, and that is the parent's.
#define VELMOR_CHILD_SIDE __attribute__((no_sanitize("address", "undefined")))

// A system call without the C library: the result, or -errno.
VELMOR_CHILD_SIDE inline long RawSyscall(long nr, long a = 0, long b = 0, long c = 0, long d = 0) {
    long ret;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall" : "=a"(ret) : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return ret;
}

template <typename T>
VELMOR_CHILD_SIDE inline long Arg(T* pointer) {
    return static_cast<long>(reinterpret_cast<uintptr_t>(pointer));
}

// The kernel's sigaction and sigset (one bit for each of the signals 1..64).
struct KernelSigaction {
    uintptr_t handler;
    unsigned long flags;
    uintptr_t restorer;
    uint64_t mask;
};
constexpr long kSigsetBytes = 8;
constexpr int kLastSignal = 64;
constexpr uintptr_t kDefault = 0;  // SIG_DFL
constexpr uintptr_t kIgnore = 1;   // SIG_IGN

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000  // Linux 5.2; older headers lack it
#endif
#ifndef SYS_close_range
#define SYS_close_range 436  // Linux 5.9; older headers lack it
#endif

struct ChildArgs {
    const ShellStart* start;
    const uint64_t* callerMask;
    // The words of the parent the child writes: the errno of a failed exec
    // (or chdir), read by the parent once clone has returned.
    StartedShell* report;
};

// Handled signals go back to their default, as an exec would set them; a
// handler of the parent must not run on the parent's memory. Ignored ones
// stay ignored, except SIGPIPE: the shell gets it at its default. With
// `all`, ignored ones go back to their default too.
VELMOR_CHILD_SIDE void ResetSignals(bool all) {
    KernelSigaction toDefault;
    toDefault.handler = kDefault;
    toDefault.flags = 0;
    toDefault.restorer = 0;
    toDefault.mask = 0;
    for (int sig = 1; sig <= kLastSignal; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        if (!all) {
            KernelSigaction current;
            current.handler = kDefault;  // the kernel overwrites it
            if (RawSyscall(SYS_rt_sigaction, sig, 0, Arg(&current), kSigsetBytes) != 0) continue;
            if (sig != SIGPIPE && (current.handler == kDefault || current.handler == kIgnore)) continue;
        }
        (void)RawSyscall(SYS_rt_sigaction, sig, Arg(&toDefault), 0, kSigsetBytes);
    }
}

// A getdents64 record: inode (8 bytes), offset (8), record length (2),
// type (1), then the name and its NUL.
constexpr long kRecordLengthAt = 16;
constexpr long kNameAt = 19;

// Closes every descriptor listed in /proc/self/fd above 2; false when the
// list could not be read to its end. Entries already listed stay listed
// when closed: the directory's position is a descriptor number.
VELMOR_CHILD_SIDE bool CloseListedAbove2() {
    const long dir = RawSyscall(SYS_openat, AT_FDCWD, Arg("/proc/self/fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    alignas(8) char entries[1024];
    long got;
    while ((got = RawSyscall(SYS_getdents64, dir, Arg(entries), sizeof(entries))) > 0) {
        for (long at = 0; at < got;) {
            const char* record = entries + at;
            const char* name = record + kNameAt;
            long fd = 0;
            const char* c = name;
            // The kernel filled the entries, which the analyzer cannot see.
            // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
            for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
            if (*c == '\0' && c != name && fd > 2 && fd != dir) (void)RawSyscall(SYS_close, fd);
            at += *reinterpret_cast<const unsigned short*>(record + kRecordLengthAt);  // records are 8-aligned
        }
    }
    (void)RawSyscall(SYS_close, dir);
    return got == 0;
}

// Every descriptor above 2: close_range where the kernel has it (5.9) and a
// filter allows it; else the listed ones (/proc); else each one below the
// limit the parent read.
VELMOR_CHILD_SIDE void CloseAbove2(int fdLimit) {
    if (RawSyscall(SYS_close_range, 3, ~0U, 0) == 0 || CloseListedAbove2()) return;
    for (int fd = 3; fd < fdLimit; ++fd) (void)RawSyscall(SYS_close, fd);
}

// errno values with which execvp goes on to the next directory of PATH.
VELMOR_CHILD_SIDE bool SearchGoesOn(long err) {
    return err == ENOENT || err == ESTALE || err == ENOTDIR || err == ENODEV || err == ETIMEDOUT;
}

// One execve of `file`, and of /bin/sh running it where the kernel does not
// know the format; returns the errno once neither ran.
VELMOR_CHILD_SIDE long ExecOne(const ShellStart& start, const char* file) {
    long result = RawSyscall(SYS_execve, Arg(file), Arg(start.argv), Arg(start.envp));
    if (result == -ENOEXEC && start.scriptArgv != nullptr) {
        start.scriptArgv[1] = const_cast<char*>(file);
        result = RawSyscall(SYS_execve, Arg(start.scriptArgv[0]), Arg(start.scriptArgv), Arg(start.envp));
    }
    return -result;
}

// execvp's search over the prepared paths; returns the errno to report.
VELMOR_CHILD_SIDE long ExecProgram(const ShellStart& start) {
    if (start.searchPaths == nullptr) return ExecOne(start, start.path);
    bool denied = false;
    long err = ENOENT;
    for (const char* const* path = start.searchPaths; *path != nullptr; ++path) {
        err = ExecOne(start, *path);
        if (err == EACCES) {
            denied = true;
        } else if (!SearchGoesOn(err)) {
            return err;
        }
    }
    return denied ? EACCES : err;
}

VELMOR_CHILD_SIDE int RunChild(void* raw) {
    const ChildArgs* args = static_cast<const ChildArgs*>(raw);
    const ShellStart& start = *args->start;
    ResetSignals(start.defaultSignals);
    // dup3 without flags: the copies are not close-on-exec, the program keeps them.
    if (start.stdoutFd >= 0) (void)RawSyscall(SYS_dup3, start.stdoutFd, 1, 0);
    if (start.stderrFd >= 0) (void)RawSyscall(SYS_dup3, start.stderrFd, 2, 0);
    if (start.stdinFd >= 0) (void)RawSyscall(SYS_dup3, start.stdinFd, 0, 0);
    // The pipe ends themselves are close-on-exec: the exec closes them.
    if (start.closeOtherFds) CloseAbove2(start.fdLimit);
    if (start.ownProcessGroup) (void)RawSyscall(SYS_setpgid, 0, 0);
    long err = start.cwd != nullptr ? -RawSyscall(SYS_chdir, Arg(start.cwd)) : 0;
    if (err != 0) {
        args->report->chdirFailed = true;
    } else {
        // The kernel wakes the parent before it renames the task at the exec.
        if (start.name != nullptr) (void)RawSyscall(SYS_prctl, PR_SET_NAME, Arg(start.name));
        const uint64_t none = 0;
        (void)RawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, Arg(start.defaultSignals ? &none : args->callerMask), 0,
                         kSigsetBytes);
        err = ExecProgram(start);
    }
    args->report->execError = static_cast<int>(err);
    // 383 & 0xff == 127, the shell's own "cannot execute" code.
    (void)RawSyscall(SYS_exit_group, 383);
    return 127;  // GCOVR_EXCL_LINE: exit_group does not return
}

// The child's stack: a mapping of its own, unmapped once the child has
// exec'd or ended (the parent waits for that inside clone).
class ChildStack {
public:
    ChildStack()
        : base_(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE,
                       -1, 0)),
          error_(base_ == MAP_FAILED ? errno : 0) {}
    ~ChildStack() {
        if (base_ != MAP_FAILED) (void)::munmap(base_, kSize);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;

    int error() const { return error_; }
    // Page aligned, as clone wants it (16 bytes would do).
    void* top() const { return static_cast<char*>(base_) + kSize; }

private:
    // The child needs well under a page; the rest is never touched.
    static constexpr size_t kSize = size_t{64} * 1024;
    void* base_;
    int error_;
};

}  // namespace

StartedShell StartShell(const ShellStart& start) {
    StartedShell started;
    ChildStack stack;
    if (stack.error() != 0) {
        started.error = stack.error();
        return started;
    }

    // Every signal, the C library's own included, so that the child starts
    // with all of them blocked. Any that come meanwhile stay pending, and
    // arrive when the mask is restored.
    const uint64_t all = ~uint64_t{0};
    uint64_t callerMask = 0;
    const long blocked = RawSyscall(SYS_rt_sigprocmask, SIG_BLOCK, Arg(&all), Arg(&callerMask), kSigsetBytes);
    // GCOVR_EXCL_START: rt_sigprocmask fails only for a bad pointer or size, and these are ours
    if (blocked != 0) {
        started.error = static_cast<int>(-blocked);
        return started;
    }
    // GCOVR_EXCL_STOP

    ChildArgs args{&start, &callerMask, &started};
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
    pid_t pid = -1;
    int err = 0;
    if (start.askPidfd) {
        // A kernel before 5.2 ignores the flag and leaves the slot at -1.
        pid = ::clone(RunChild, stack.top(), flags | CLONE_PIDFD, &args, &started.pidfd);
        err = errno;
    }
    // Refused (a kernel that checks the flag, a sandbox's filter answering
    // EPERM or ENOSYS) or no descriptor left for it: the pidfd is a help, not
    // a need, so a start without one. EAGAIN and ENOMEM fail any start.
    if (!start.askPidfd ||
        (pid < 0 && (err == EINVAL || err == EPERM || err == ENOSYS || err == EMFILE || err == ENFILE))) {
        started.pidfd = -1;
        pid = ::clone(RunChild, stack.top(), flags, &args);
        err = errno;
    }
    (void)RawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, Arg(&callerMask), 0, kSigsetBytes);
    if (pid < 0) {
        started.error = err;
        started.pidfd = -1;
        return started;
    }
    started.pid = pid;
    return started;
}

}  // namespace detail
}  // namespace velmor_lic
