// The child command runner: starts "/bin/sh -c" over pipes, kills and reaps
// its child.
#include "popen_cmd.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "eintr_retry.h"
#include "own_child.h"
#include "runner_detail.h"
#include "shell_start.h"
#include "unique_fd.h"

namespace velmor_lic {

struct KPopenCmd::Start {
    struct Pipe {
        detail::UniqueFd rd;
        detail::UniqueFd wr;
    };

    bool do_read = false;
    bool do_write = false;
    bool redirectErrToOutput = false;
    Pipe out;  // the child's stdout (and stderr with "2") -> parent
    Pipe in;   // parent -> the child's stdin

    void closePipes() {
        for (Pipe* p : {&out, &in}) {
            p->rd.reset();
            p->wr.reset();
        }
    }
};

namespace {

const char kShellPath[] = "/bin/sh";
const char kShellName[] = "sh";  // the kernel's name for it after the exec

// Makes a close-on-exec pipe whose ends both lie above 2; returns 0 or errno.
// Pipes that take 0, 1 or 2 stay open in `small` so that the next gets
// higher numbers; the caller closes them.
int MakePipeAbove2(detail::UniqueFd& rd, detail::UniqueFd& wr, std::vector<int>& small) {
    for (;;) {
        int fds[2];
        // O_CLOEXEC at creation: a start in another thread cannot catch them open.
        if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
        if (fds[0] > 2 && fds[1] > 2) {
            rd.reset(fds[0]);
            wr.reset(fds[1]);
            return 0;
        }
        small.push_back(fds[0]);
        small.push_back(fds[1]);
    }
}

// ---- The exec-failure line -------------------------------------------------
// It goes where the shell's standard error would have gone, and only where
// that can neither block, signal nor stop the caller.

// Whether the shell would have had the caller's `fd` as its standard error:
// open for writing and not close-on-exec.
bool ShellWouldHave(int fd) {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    const int statusFlags = ::fcntl(fd, F_GETFL);
    return fdFlags >= 0 && (fdFlags & FD_CLOEXEC) == 0 && statusFlags >= 0 && (statusFlags & O_ACCMODE) != O_RDONLY;
}

// A non-blocking description of its own for the pipe at `fd`, so that the
// caller's flags stay as they are: -1 and ENXIO when the pipe has no reader.
// Through the calling thread's own descriptor table, which may be private
// (unshare(CLONE_FILES)): /proc/self would name the thread group leader's,
// and /proc/thread-self is missing before Linux 3.17.
int ReopenPipeNonBlocking(int fd) {
    char path[64];
    (void)std::snprintf(path, sizeof(path), "/proc/self/task/%ld/fd/%d", ::syscall(SYS_gettid), fd);
    return detail::OpenRetrying(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

// One write with SIGPIPE and SIGTTOU blocked in this thread: a terminal then
// takes it from a background process group too, instead of stopping the
// caller. A SIGPIPE that the write raised is taken back before the mask is
// restored; where one was pending already (only a pipe whose reader left
// since it was opened can raise one here) it is left alone.
void WriteWithoutSignals(int fd, const char* line, size_t len) {
    sigset_t quiet, saved, pending, pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    quiet = pipeOnly;
    sigaddset(&quiet, SIGTTOU);
    (void)::pthread_sigmask(SIG_BLOCK, &quiet, &saved);  // fails only for a bad `how`
    const bool wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ssize_t n;
    do {
        n = ::write(fd, line, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE && !wasPending) {
        const timespec now{0, 0};
        while (::sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    (void)::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Writes the line to `fd` where it can be taken at once: a socket or a pipe
// without a reader or without room, or a terminal or file that cannot take
// it now, loses it. `callers`: `fd` is the caller's own 2, not the runner's
// pipe.
void WriteExecFailure(int fd, bool callers, int execError) {
    if (callers && !ShellWouldHave(fd)) return;
    char line[160];
    const int len =
        std::snprintf(line, sizeof(line), "exec %s failed: [%d],%s\n", kShellPath, execError, std::strerror(execError));
    if (len <= 0) return;  // GCOVR_EXCL_LINE: the format is ours
    const size_t size = std::min(static_cast<size_t>(len), sizeof(line) - 1);
    struct stat st {};
    (void)::fstat(fd, &st);  // an open descriptor; were it not, poll below refuses it
    if (S_ISSOCK(st.st_mode)) {
        // Never waits, so never interrupted.
        (void)::send(fd, line, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    detail::UniqueFd own;
    if (S_ISFIFO(st.st_mode)) {
        own.reset(ReopenPipeNonBlocking(fd));
        if (!own.valid() && errno == ENXIO) return;
    }
    if (!own.valid()) {  // not a pipe, or no /proc: writable now, or not at all
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, 0) != 1 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    }
    WriteWithoutSignals(own.valid() ? own.get() : fd, line, size);
}

// Records why the child was not killed; false.
bool RefuseKill(KPopenCmd& runner, pid_t pid, int err) {
    runner.setErr("kill child pid:%ld error:%d,%s", static_cast<long>(pid), err, std::strerror(err));
    return false;
}

}  // namespace

// ---- Child command runner --------------------------------------------------

KPopenCmd::~KPopenCmd() { Close(false); }

bool KPopenCmd::OpenCmd(const char* command, const char* mode, bool waitToExec) {
    return openImp(command, mode, waitToExec);
}

bool KPopenCmd::openImp(const char* command, const char* mode, bool waitToExec) {
    return openWith(command, mode, waitToExec, detail::ChildOptions());
}

bool KPopenCmd::openWith(const char* command, const char* mode, bool waitToExec, const detail::ChildOptions& options) {
    if (command == nullptr) command = "";
    if (mode == nullptr) mode = "";
    // An earlier command still held would lose its streams and its child.
    if (read_Fp_ != nullptr || write_Fp_ != nullptr || child_pid_ > 0) Close(false);

    Start start;
    std::string copy;
    try {
        if (!parseMode(mode, start)) return false;
        // Before any child: a heap that refuses the copy fails the start, not
        // a start whose shell already runs.
        copy = command;
        if (!makePipes(start)) return false;
    } catch (const std::bad_alloc&) {
        setErr("fork error:%d:%s", ENOMEM, std::strerror(ENOMEM));
        return false;
    }
    // The streams come before the child: a start that fails runs nothing,
    // not even the shell (which would fork the command and leave it behind).
    if (!adoptParentEnds(start) || !startChild(copy.c_str(), options, start)) return false;
    cmd_.swap(copy);
    if (waitToExec) WaitChildToExec();
    return true;
}

// Letters r, w, e, 2, repeated or not, in any order, with r or w among them.
bool KPopenCmd::parseMode(const char* mode, Start& start) {
    for (const char* c = mode; *c != '\0'; ++c) {
        switch (*c) {
            case 'r': start.do_read = true; break;
            case 'w': start.do_write = true; break;
            case 'e': break;  // close-on-exec is always on
            case '2': start.redirectErrToOutput = true; break;
            default: setErr("unknown mode:%s", mode); return false;
        }
    }
    if (!start.do_read && !start.do_write) {
        // Both switches are off here.
        setErr("mode must have read or write read[%d]/write[%d] op,mode:%s", 0, 0, mode);
        return false;
    }
    return true;
}

bool KPopenCmd::makePipes(Start& start) {
    std::vector<int> smallFdVec;
    // Room for every pipe end that can take 0, 1 or 2, before any is made.
    smallFdVec.reserve(6);
    for (Start::Pipe* p : {start.do_read ? &start.out : nullptr, start.do_write ? &start.in : nullptr}) {
        if (p == nullptr) continue;
        const int err = MakePipeAbove2(p->rd, p->wr, smallFdVec);
        if (err != 0) {
            setErr("pipe2 error:%d,%s", err, std::strerror(err));
            CloseAllFdFromVec(smallFdVec);
            start.closePipes();
            return false;
        }
    }
    CloseAllFdFromVec(smallFdVec);
    for (const Start::Pipe* p : {&start.out, &start.in}) {
        if (p->rd.valid()) SetFdCloexec(p->rd.get());
        if (p->wr.valid()) SetFdCloexec(p->wr.get());
    }
    return true;
}

bool KPopenCmd::startChild(const char* command, const detail::ChildOptions& options, Start& start) {
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    detail::ShellStart shell;
    shell.stdinFd = start.in.rd.get();
    shell.stdoutFd = start.out.wr.get();
    // Without a read pipe there is nothing to send stderr to: it stays as inherited.
    shell.stderrFd = start.redirectErrToOutput ? start.out.wr.get() : -1;
    shell.path = kShellPath;
    shell.name = kShellName;
    shell.argv = argv;
    shell.envp = environ;
    shell.ownProcessGroup = options.ownProcessGroup;
    shell.askPidfd = options.askPidfd;

    const detail::StartedShell started = detail::StartShell(shell);
    if (started.execError != 0) {
        // The child ended with 127 and cannot say why itself: say it where
        // its standard error went.
        WriteExecFailure(shell.stderrFd >= 0 ? shell.stderrFd : 2, shell.stderrFd < 0, started.execError);
    }
    // The child holds its ends as its own 0, 1 or 2 now (or never will).
    start.closePipes();
    if (started.error != 0) {
        child_pid_ = -1;
        CloseReadFp();
        CloseWriteFp();
        setErr("fork error:%d:%s", started.error, std::strerror(started.error));
        return false;
    }
    child_pid_ = started.pid;
    // Where the kernel gave no pidfd, the child's /proc directory names it alone.
    pidfd_ = started.pidfd >= 0 ? started.pidfd : detail::OpenProcHandle(started.pid);
    return true;
}

// Wraps each parent's end in its stream; the child's ends stay for the start.
bool KPopenCmd::adoptParentEnds(Start& start) {
    struct End {
        detail::UniqueFd& parent;
        const char* how;
        FILE*& fp;
        int& fd;
    };
    for (const End& end : {End{start.out.rd, "r", read_Fp_, read_Fd_}, End{start.in.wr, "w", write_Fp_, write_Fd_}}) {
        if (!end.parent.valid()) continue;
        FILE* fp = ::fdopen(end.parent.get(), end.how);
        if (fp == nullptr) {
            const int err = errno;
            setErr("fdopen parent_end:%d,mode:%s is error:%d:%s", end.parent.get(), end.how, err, std::strerror(err));
            start.closePipes();
            CloseReadFp();
            return false;
        }
        end.fp = fp;
        end.fd = end.parent.release();
    }
    return true;
}

void KPopenCmd::closePidfd() {
    if (pidfd_ < 0) return;
    ::close(pidfd_);
    pidfd_ = -1;
}

int KPopenCmd::Close(bool ignoreWait) {
    // A child stays known after both streams were closed early: still reap it.
    if (read_Fp_ == nullptr && write_Fp_ == nullptr && child_pid_ <= 0) return 0;
    // What the child has not read yet is dropped where it cannot reach it as
    // meant: the child is about to be killed (the flush would block on a full
    // pipe or raise SIGPIPE here), or it is not this process's own: a forked
    // copy must not send the owner's bytes, a child reaped elsewhere reads none.
    if (write_Fp_ != nullptr && __fpending(write_Fp_) > 0 &&
        (timeout_ != 0 || detail::Identify(child_pid_, pidfd_) != detail::ChildIs::kOwn)) {
        __fpurge(write_Fp_);
    }
    CloseReadFp();
    CloseWriteFp();

    int status = 256;  // reads as exit code 1 when the wait fails
    if (child_pid_ <= 0) return 0;

    if (timeout_ != 0) {
        if (KillChildExecClose(::getpid())) {
            std::fprintf(stderr, "kill sub pid:%ld success\n", static_cast<long>(child_pid_));
        } else {
            std::fprintf(stderr, "kill sub pid:%ld error:%s\n", static_cast<long>(child_pid_), getErr());
        }
    }

    if (ignoreWait) {
        status = 0;
    } else if (detail::ReapOwnChild(child_pid_, pidfd_, status, false) != 1) {
        // Reaped elsewhere, or not this process's child: nothing to wait for.
        status = 256;
    }
    child_pid_ = 0;
    closePidfd();
    return (status >> 8) & 0xff;
}

void KPopenCmd::CloseReadFp() {
    if (read_Fp_ == nullptr) return;
    // Nothing to recover from a failed close of a pipe stream; it is gone either way.
    (void)std::fclose(read_Fp_);
    read_Fp_ = nullptr;
    read_Fd_ = -1;
}

void KPopenCmd::CloseWriteFp() {
    if (write_Fp_ == nullptr) return;
    (void)std::fclose(write_Fp_);
    write_Fp_ = nullptr;
    write_Fd_ = -1;
}

void KPopenCmd::CloseAllFdFromVec(std::vector<int>& fd_vec) {
    for (int fd : fd_vec) ::close(fd);
    fd_vec.clear();
}

bool KPopenCmd::KillChildExecClose(pid_t ppid) {
    // Only the process that started the child may take it for its own
    // without the status file (which a name with a space in it would
    // misread): a forked copy holds the same handle but is not the parent.
    const bool asOwner = ppid == ::getpid();
    if (asOwner) {
        const detail::ChildIs child = detail::Identify(child_pid_, pidfd_);
        if (child == detail::ChildIs::kOwn) return killOwnChild();
        // Reaped elsewhere (a SIGCHLD handler): its id may be another's now.
        if (child == detail::ChildIs::kGone) return RefuseKill(*this, child_pid_, ECHILD);
        // There, and not a child of this process: the status file says whose.
    }
    try {
        KCProcStat stat;
        if (!GetProcStat(child_pid_, stat)) {
            setErr("%s", stat.getErr());
            return false;
        }
        if (stat.GetPpid() != ppid) {
            setErr("get child proc stat is:%s,not match fater pid:%ld", stat.String().c_str(), static_cast<long>(ppid));
            return false;
        }
    } catch (const std::bad_alloc&) {
        return RefuseKill(*this, child_pid_, ENOMEM);
    }
    // Named this process's child, yet not its own unreaped one: another
    // child of this process took the id.
    if (asOwner) return RefuseKill(*this, child_pid_, ECHILD);
    return ::kill(child_pid_, SIGKILL) == 0 || RefuseKill(*this, child_pid_, errno);
}

bool KPopenCmd::killOwnChild() {
    const int err = detail::KillOwnChild(child_pid_, pidfd_);
    return err == 0 || RefuseKill(*this, child_pid_, err);
}

bool KPopenCmd::GetProcStat(pid_t pid, KCProcStat& stat) {
    Buffer path;
    path.Printf("/proc/%lu/stat", static_cast<unsigned long>(pid));
    Buffer content;
    char errbuf[1024] = {};
    if (!ReadBufferFromFile(path.c_str(), content, 1024, errbuf)) {
        stat.setErr("%s", errbuf);
        return false;
    }
    return stat.Parse(content.c_str());
}

void KPopenCmd::WaitChildToExec() {
    // Every start returns after its child's exec (or end): only the text of
    // an unreadable own executable is left to record, as ever.
    (void)GetCmdPath();
}

std::string KPopenCmd::GetCmdPath() {
    char path[512] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    // A link that fills the whole buffer may have been cut.
    if (n < 0 || n > static_cast<ssize_t>(sizeof(path)) - 2) {
        const int err = n < 0 ? errno : ENAMETOOLONG;
        setErr("readlink error:%d,%s", err, std::strerror(err));
        return std::string();
    }
    return std::string(path);
}

namespace detail {

bool RunnerAccess::OpenCmdWith(KPopenCmd& runner, const char* command, const char* mode, const ChildOptions& options) {
    return runner.openWith(command, mode, true, options);
}

}  // namespace detail

}  // namespace velmor_lic
