// ExecuteCmd: runs a command line to its end through the runner and explains
// a failure in one line.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "deadline.h"
#include "eintr_retry.h"
#include "lic_func.h"
#include "own_child.h"
#include "popen_cmd.h"
#include "runner_detail.h"

namespace velmor_lic {

namespace {

// True once the child's end is known: its exit code or signal number in
// `retcode` (0 for a clean exit), -1 for a pid that is not positive, -errno
// when the wait failed (reason in `errinfo`, 1024 bytes). False while it
// runs. `handle` (own_child.h) keeps the wait from ever collecting another
// process that took the child's id; -1: the id alone.
bool CheckPidStatus(int pid, int handle, int& retcode, char* errinfo) {
    if (pid <= 0) {
        // Cut to the caller's 1024 bytes by contract.
        (void)std::snprintf(errinfo, 1024, "pid: %d is not Positive", pid);
        retcode = -1;
        return true;
    }
    int status = 0;
    const int reaped = detail::ReapOwnChild(pid, handle, status, true);
    if (reaped == 0) return false;
    if (reaped < 0) {
        const int err = errno;
        (void)std::snprintf(errinfo, 1024, "waitpid %d failed: %d,%s", pid, err, std::strerror(err));
        retcode = -err;
        return true;
    }
    if (WIFEXITED(status)) {
        retcode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        retcode = WTERMSIG(status);
    } else {
        retcode = status;  // GCOVR_EXCL_LINE: a stop or continue is reported only with WUNTRACED/WCONTINUED
    }
    return true;
}

// Without a pidfd the wait looks for the end this often: an end is seen
// within 40 ms, at a cost of at most 25 wakes a second while nothing happens.
constexpr int kPaceMs = 40;
// Where poll cannot be used, the next look while output still flows.
constexpr int kBusyPaceMs = 1;
// Reads in a row before the wait looks at the end again.
constexpr int kReadsPerLook = 16;

struct FreeDeleter {
    void operator()(char* block) const { std::free(block); }
};

// Keeps the first 1024 bytes a command writes and drops the rest, reading
// while the command runs so that it never blocks on a full pipe. The reads
// go into a heap block, so that ExecuteCmd fits on a small thread stack.
class OutputDrain {
public:
    explicit OutputDrain(int fd)
        : fd_(fd),
          open_(fd >= 0),
          // Only this end's own description: the command's end stays blocking.
          nonblocking_(open_ && ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0),
          chunk_(static_cast<char*>(std::malloc(kChunkBytes))) {}

    // The descriptor to poll for output, -1 once the pipe is done.
    int PollFd() const { return open_ ? fd_ : -1; }

    // After poll said the pipe is ready: takes what it holds.
    void ReadReady() {
        if (open_) (void)ReadOnce();
    }

    // Without poll: takes what the pipe holds now, in at most `reads` reads;
    // true when bytes came. Nothing where the descriptor could not be made
    // non-blocking: a read could then wait for ever.
    bool ReadWithoutPoll(int reads) {
        bool got = false;
        for (int i = 0; i < reads && open_ && nonblocking_; ++i) {
            if (!ReadOnce()) break;
            got = true;
        }
        return got;
    }

    // What is already in the pipe, up to the kept limit, without waiting for
    // processes the command may have left behind.
    void TakeRest() {
        while (open_ && count_ < sizeof(kept_)) {
            if (!nonblocking_) {
                pollfd ready{fd_, POLLIN, 0};
                const int n = ::poll(&ready, 1, 0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
            }
            if (!ReadOnce()) return;
        }
    }

    // The kept bytes up to the first NUL among them.
    std::string Text() const { return std::string(kept_, ::strnlen(kept_, count_)); }

private:
    static constexpr size_t kChunkBytes = 65536;  // a whole pipe in one read

    // One read; false when nothing came (empty for now, at its end, broken).
    bool ReadOnce() {
        char* into = chunk_ ? chunk_.get() : spare_;
        const size_t size = chunk_ ? kChunkBytes : sizeof(spare_);
        ssize_t n;
        do {
            n = ::read(fd_, into, size);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN) open_ = false;
            return false;
        }
        if (n == 0) {
            open_ = false;
            return false;
        }
        const size_t take = std::min(static_cast<size_t>(n), sizeof(kept_) - count_);
        std::memcpy(kept_ + count_, into, take);
        count_ += take;
        return true;
    }

    int fd_;
    bool open_;
    bool nonblocking_;
    std::unique_ptr<char, FreeDeleter> chunk_;
    char spare_[256] = {};  // where the heap refused the chunk
    char kept_[1024] = {};
    size_t count_ = 0;
};

using detail::Deadline;

// Where poll cannot be used: takes the output there is, then pauses, briefly
// while output flows.
void PaceWithoutPoll(OutputDrain& output, int left_ms) {
    int pause_ms = output.ReadWithoutPoll(kReadsPerLook) ? kBusyPaceMs : kPaceMs;
    if (left_ms >= 0) pause_ms = std::min(pause_ms, left_ms);
    detail::SleepMicros(static_cast<unsigned long>(pause_ms) * 1000UL);
}

// Waits for the end of child `pid`, draining its output meanwhile: woken by
// output and by the child's pidfd where `handle` is one, else looking every
// kPaceMs. True once the end is in `retcode`; false when the deadline passed
// first.
bool WaitForEnd(int pid, int handle, OutputDrain& output, const Deadline& deadline, int& retcode, char* err_info) {
    int pidfd = detail::IsPidfd(handle) ? handle : -1;
    bool poll_works = true;
    bool end_shown = false;
    while (!CheckPidStatus(pid, handle, retcode, err_info)) {
        // An end that waitpid does not see (a pidfd of Linux 5.2 cannot be
        // polled: it always shows ready): pace instead of spinning.
        if (end_shown) pidfd = -1;
        end_shown = false;
        const int left = deadline.LeftMs();
        if (left == 0) return false;
        if (!poll_works) {
            PaceWithoutPoll(output, left);
            continue;
        }
        const int wait_ms = pidfd >= 0 ? left : (left < 0 ? kPaceMs : std::min(left, kPaceMs));
        pollfd ready[2] = {{pidfd, POLLIN, 0}, {output.PollFd(), POLLIN, 0}};
        if (::poll(ready, 2, wait_ms) < 0) {
            if (errno != EINTR) poll_works = false;
            continue;
        }
        // Readable, at its end or broken: the read tells which.
        if (ready[1].revents != 0) output.ReadReady();
        if (ready[0].revents != 0) end_shown = true;
    }
    return true;
}

// Past the deadline: the shell's group and the shell killed, and the shell
// reaped. A shell reaped elsewhere meanwhile is neither signalled nor waited
// for.
void KillGroupAndReap(int pid, int handle) {
    if (!detail::KillOwnChildAndGroup(pid, handle)) return;
    int status = 0;
    (void)detail::ReapOwnChild(pid, handle, status, false);
}

// ExecuteCmd itself; it may throw std::bad_alloc.
bool Execute(const std::string& cmd, std::string& err_msg, detail::EndWait how, std::chrono::milliseconds timeout) {
    using detail::ChildOptions;
    using detail::EndWait;
    using detail::RunnerAccess;
    const Deadline deadline(timeout);
    ChildOptions options;
    options.ownProcessGroup = timeout.count() > 0;
    options.askPidfd = how == EndWait::kPidfd;
    // timeout 0: closing the runner never kills the command.
    KPopenCmd runner(0);
    if (!RunnerAccess::OpenCmdWith(runner, cmd.c_str(), "re2", options)) {
        err_msg = string_sprintf("open cmd %s failed: %s\n", cmd.c_str(), runner.getErr());
        return true;
    }
    const int pid = runner.GetChildPid();
    int retcode = 0;
    char err_info[1024] = {};
    OutputDrain output(runner.GetReadFd());
    const int handle = RunnerAccess::Handle(runner);
    const bool ended = WaitForEnd(pid, handle, output, deadline, retcode, err_info);
    if (!ended) KillGroupAndReap(pid, handle);
    if (!ended || retcode > 0) output.TakeRest();
    // The child is collected (or cannot be): a second wait could only hit an
    // unrelated process that got its id since.
    runner.Close(true);

    if (!ended) {
        err_msg = string_sprintf("execute cmd timed out: [%lld ms],%s", static_cast<long long>(timeout.count()),
                                 output.Text().c_str());
        return true;
    }
    if (retcode > 0) {
        err_msg = string_sprintf("execute cmd failed: [%d],%s", retcode, output.Text().c_str());
        return true;
    }
    if (retcode < 0) {
        err_msg = string_sprintf("get execute cmd state failed: [%d],%s", -retcode, err_info);
        return true;
    }
    return false;
}

}  // namespace

namespace detail {

bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo) { return CheckPidStatus(pid, -1, retcode, errinfo); }

bool ExecuteCmdWith(const std::string& cmd, std::string& err_msg, EndWait how, std::chrono::milliseconds timeout) {
    try {
        return Execute(cmd, err_msg, how, timeout);
    } catch (const std::bad_alloc&) {
        // Not even the text could be made: a failure all the same, `err_msg`
        // as it was.
        return true;
    }
}

}  // namespace detail

bool ExecuteCmd(const std::string& cmd, std::string& err_msg) {
    return detail::ExecuteCmdWith(cmd, err_msg, detail::EndWait::kPidfd);
}

bool ExecuteCmd(const std::string& cmd, std::string& err_msg, std::chrono::milliseconds timeout) {
    return detail::ExecuteCmdWith(cmd, err_msg, detail::EndWait::kPidfd, timeout);
}

}  // namespace velmor_lic
