// File and descriptor helpers, the process status record and the child
// command runner.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lic_func.h"
#include "str_buffer.h"

// The library is compiled with hidden visibility; what this header declares
// is its exported interface.
#pragma GCC visibility push(default)
namespace velmor_lic {

// ---------------------------------------------------------------------------
// File and descriptor helpers. Failures are reported by the result.
// ---------------------------------------------------------------------------

// Adds FD_CLOEXEC to the descriptor's flags. On failure prints
// "fcntl F_GETFD error:[%d:%s]" or "fcntl F_SETFD error:[%d:%s]" to stderr
// (no line break) and returns false; the descriptor is then unchanged.
bool SetFdCloexec(int fd);

// Reads from `fd` until `buflen` bytes arrived or end of file, into the free
// space of `fdbuff` (meant to be empty; never more than its free space), and
// makes them readable. Returns the count, or (size_t)-1 on a read error other
// than EINTR/EAGAIN, leaving the indices as they were.
size_t ReadBufferFromFD(int fd, Buffer& fdbuff, size_t buflen);

// Reads at most `buflen` - 1 bytes of the file into the empty `fdbuff`, so that
// its c_str() yields them. A shorter, longer (cut silently) or empty file is a
// success. On failure writes "open file[%s] fail[%d,%s]" or
// "readn file[%s] fail[%d,%s]" into `errbuf` (1024 bytes) and returns false;
// the buffer is then untouched (open) or cleared (read), nothing stays open.
bool ReadBufferFromFile(const char* fileName, Buffer& fdbuff, size_t buflen, char* errbuf);

// CLOCK_MONOTONIC in milliseconds; only differences mean anything.
uint64_t GetClockMonoMSec();

// The canonical absolute path of an existing `path`, links followed, of any
// length; "" when it cannot be resolved.
std::string ConvertToAbsolutePath(const char* path);

// ---------------------------------------------------------------------------
// Process status record: the four leading fields of /proc/<pid>/stat.
// ---------------------------------------------------------------------------

class KCProcStat : public ErrorBase {
public:
    KCProcStat() : pid_(0), ppid_(0) {}
    virtual ~KCProcStat() {}

    // Fills the four fields from a status line (fields cut at single spaces).
    // With fewer than four fields records "get buf is not valid ,size < 4,buf:%s",
    // returns false and keeps the earlier values. Non-numeric ids give 0.
    bool Parse(const char* buf);

    // "pid:%lu,bin:%s,state:%s,ppid:%lu".
    std::string String();

    pid_t GetPpid() const { return ppid_; }
    const std::string& GetbinName() const { return binName_; }
    // The state letter as the kernel wrote it ("Z" for a zombie).
    const std::string& GetState() const { return state_; }

private:
    pid_t pid_;
    std::string binName_;
    std::string state_;
    pid_t ppid_;
};

// ---------------------------------------------------------------------------
// Child command runner: runs "/bin/sh -c command" over pipes.
//
// Every pipe end it uses lies above 2 and is close-on-exec. Failures record
// one line (getErr) and return false; Close returns the child's exit code.
// Owns its streams (never fclose them yourself) and reaps its child in Close
// or the destructor, which blocks until the child ends. Writing to the write
// stream after the child is gone raises SIGPIPE unless the caller ignores it.
//
// A start returns once the child runs the shell (or has ended: a shell that
// cannot be executed gives exit code 127), at a cost that does not grow with
// the caller's memory. From then on the child's process name is "sh". The
// shell gets the caller's signal mask and ignored signals, SIGPIPE and
// handled signals at their default; fork handlers (pthread_atfork) do not
// run for it. Pidfds (Linux 5.2+) are used where the kernel, or a sandbox's
// seccomp profile, allows them; without them the child's /proc directory
// keeps any kill or wait from reaching another process.
//
// The line "exec /bin/sh failed: [%d],%s" of a shell that cannot be
// executed goes where the shell's standard error would have gone: the read
// pipe with "2", else the caller's 2, only if that is open for writing and
// not close-on-exec. Only if it takes the line at once: a socket or pipe
// without a reader or room, or a terminal or file that cannot take it now,
// loses it. The write raises no SIGPIPE and does not stop a caller in a
// background process group of its terminal.
//
// The child is the runner's only while it is this process's own unreaped
// child: once reaped elsewhere (a SIGCHLD handler), Close neither kills nor
// waits for a process that took its id, and returns 1 at once. In a forked
// copy of the process, Close and the destructor leave the owner's child
// alone and drop the bytes still buffered in the write stream rather than
// send them; a forked child that keeps the runner should end with _exit (an
// exit() that flushes every stream is beyond the runner's reach).
// ---------------------------------------------------------------------------

namespace detail {
struct ChildOptions;
struct RunnerAccess;
}  // namespace detail

class KPopenCmd : public ErrorBase {
public:
    // A non-zero `timeout` makes Close kill a still running child first.
    explicit KPopenCmd(uint64_t timeout)
        : timeout_(timeout),
          child_pid_(0),
          read_Fp_(nullptr),
          read_Fd_(-1),
          write_Fp_(nullptr),
          write_Fd_(-1),
          pidfd_(-1) {}
    virtual ~KPopenCmd();

    KPopenCmd(const KPopenCmd&) = delete;
    KPopenCmd& operator=(const KPopenCmd&) = delete;

    // `mode` letters: "r" read the child's stdout, "w" write its stdin, "2" its
    // stderr into the read pipe too, "e" accepted (close-on-exec is always on).
    // Every start returns only once the child runs the shell, so `waitToExec`
    // adds no wait; it still records "readlink error:%d,%s" when this
    // program's executable cannot be read (the start succeeds). A runner
    // still holding an earlier command is closed (and its child reaped)
    // first, whatever the mode. On failure returns false with the reason in
    // getErr and leaves no stream open and no child unreaped, except after a
    // failed write stream beside a read stream, which Close then reaps.
    bool OpenCmd(const char* command, const char* mode, bool waitToExec);

    // Closes both streams, kills the child when `timeout` was non-zero, then
    // reaps it unless `ignoreWait`. Returns its exit code: 0 when it ended by
    // a signal, 1 when waiting failed or the child was reaped elsewhere, 0
    // with `ignoreWait` or without a child. With a non-zero `timeout` bytes
    // still buffered in the write stream are dropped, so Close neither blocks
    // on a full pipe nor raises SIGPIPE.
    int Close(bool ignoreWait);

    void CloseReadFp();
    // Gives the child end of file on its standard input.
    void CloseWriteFp();
    // Closes every descriptor in order, ignoring failures, then empties it.
    void CloseAllFdFromVec(std::vector<int>& fd_vec);

    // SIGKILLs the child, but only when `ppid` is its parent. For this
    // process (`ppid` == getpid(), as Close asks) that holds while the child
    // is its own and unreaped, whatever the child's name, and never for a
    // process that took over the id. For another `ppid` the child's status
    // file decides. False (reason in getErr) when it was not signalled.
    bool KillChildExecClose(pid_t ppid);
    // Reads and parses /proc/<pid>/stat into `stat`; false with the reason in
    // stat's error text.
    bool GetProcStat(pid_t pid, KCProcStat& stat);
    // A start returns only once its child has exec'd, so there is nothing to
    // wait for: records "readlink error:%d,%s" when this program's executable
    // cannot be read, and returns.
    void WaitChildToExec();
    // This program's executable from /proc/self/exe; "" (and "readlink
    // error:%d,%s" recorded, ENAMETOOLONG for a link of 511 bytes or more)
    // when it cannot be read.
    std::string GetCmdPath();

    pid_t GetChildPid() const { return child_pid_; }
    FILE* GetReadFp() { return read_Fp_; }
    FILE* GetWriteFp() { return write_Fp_; }
    int GetReadFd() const { return read_Fd_; }
    int GetWriteFd() const { return write_Fd_; }

private:
    // The mode and the pipes of one start (defined with the runner).
    struct Start;
    // The library's own callers choose how the child is made.
    friend struct detail::RunnerAccess;

    bool openImp(const char* command, const char* mode, bool waitToExec);
    bool openWith(const char* command, const char* mode, bool waitToExec, const detail::ChildOptions& options);
    // The steps of a start, in this order; each records its failure and
    // returns false, leaving what OpenCmd says.
    bool parseMode(const char* mode, Start& start);
    bool makePipes(Start& start);
    bool startChild(const char* command, const detail::ChildOptions& options, Start& start);
    bool adoptParentEnds(Start& start);
    // SIGKILL to the child, known to be this process's own and unreaped;
    // false with the reason recorded.
    bool killOwnChild();
    void closePidfd();

    uint64_t timeout_;
    std::string cmd_;
    pid_t child_pid_;
    FILE* read_Fp_;
    int read_Fd_;
    FILE* write_Fp_;
    int write_Fd_;
    // What names the child alone, closed with it: its pidfd, else (the kernel
    // gave none) its /proc directory; -1 without either.
    int pidfd_;
};

}  // namespace velmor_lic
#pragma GCC visibility pop
