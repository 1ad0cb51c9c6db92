// ExecuteCmd: runs a command line to its end through the runner and explains
// a failure in one line.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "eintr_retry.h"
#include "lic_func.h"
#include "popen_cmd.h"
#include "runner_detail.h"
#include "unique_fd.h"

namespace velmor_lic {

namespace {

// True once the child's end is known: its exit code or signal number in
// `retcode` (0 for a clean exit), -1 for a pid that is not positive, -errno
// when waitpid failed (reason in `errinfo`, 1024 bytes). False while it runs.
bool CheckPidStatus(int pid, int& retcode, char* errinfo) {
    if (pid <= 0) {
        // Cut to the caller's 1024 bytes by contract.
        (void)std::snprintf(errinfo, 1024, "pid: %d is not Positive", pid);
        retcode = -1;
        return true;
    }
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == 0) return false;
    if (ended < 0) {
        const int err = errno;
        if (err == EINTR) return false;
        (void)std::snprintf(errinfo, 1024, "waitpid %d failed: %d,%s", pid, err, std::strerror(err));
        retcode = -err;
        return true;
    }
    if (WIFEXITED(status)) {
        retcode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        retcode = WTERMSIG(status);
    } else {
        retcode = status;
    }
    return true;
}

// Why OutputDrain::WaitForOutputOrEnd returned.
enum class Wake { kOutput, kEnd, kFailed };

// Keeps the first 1024 bytes a command writes and drops the rest, reading
// while the command runs so that it never blocks on a full pipe.
class OutputDrain {
public:
    explicit OutputDrain(int fd) : fd_(fd), open_(fd >= 0) {}

    // The paced wait, for when no pidfd is to be had: waits up to a second
    // for output and takes it. Once the pipe is done (end of file or
    // unreadable) pauses instead, growing toward a second, so that a command
    // that closed its output costs no CPU while it runs.
    void WaitForMore() {
        if (open_) {
            pollfd ready{fd_, POLLIN, 0};
            const int n = ::poll(&ready, 1, kMaxWaitMs);
            if (n > 0) {
                ReadOnce();
                return;
            }
            if (n == 0 || errno == EINTR) return;
            open_ = false;
        }
        pause_us_ = pause_us_ == 0 ? kFirstPauseUs : std::min(pause_us_ * 2, kMaxWaitMs * 1000L);
        detail::SleepMicros(static_cast<unsigned long>(pause_us_));
    }

    // Sleeps until output arrives or `pidfd` reports the child's end, taking
    // the output. Once the pipe is done only the end can wake it.
    Wake WaitForOutputOrEnd(int pidfd) {
        pollfd ready[2] = {{pidfd, POLLIN, 0}, {open_ ? fd_ : -1, POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0) return errno == EINTR ? Wake::kOutput : Wake::kFailed;
        // Readable, at its end or broken: the read tells which.
        if (ready[1].revents != 0) ReadOnce();
        return ready[0].revents != 0 ? Wake::kEnd : Wake::kOutput;
    }

    // Takes what is already in the pipe, up to the kept limit, without
    // waiting for processes the command may have left behind.
    void TakeRest() {
        while (open_ && count_ < sizeof(kept_)) {
            pollfd ready{fd_, POLLIN, 0};
            const int n = ::poll(&ready, 1, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            ReadOnce();
        }
    }

    // The kept bytes up to the first NUL among them.
    std::string Text() const { return std::string(kept_, ::strnlen(kept_, count_)); }

private:
    static constexpr int kMaxWaitMs = 1000;
    static constexpr long kFirstPauseUs = 200;

    void ReadOnce() {
        char chunk[16384];
        const ssize_t n = ::read(fd_, chunk, sizeof(chunk));
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN) open_ = false;
            return;
        }
        if (n == 0) {
            open_ = false;
            return;
        }
        const size_t take = std::min(static_cast<size_t>(n), sizeof(kept_) - count_);
        std::memcpy(kept_ + count_, chunk, take);
        count_ += take;
    }

    int fd_;
    bool open_;
    char kept_[1024] = {};
    size_t count_ = 0;
    long pause_us_ = 0;
};

// A descriptor that becomes readable when process `pid` ends (close-on-exec);
// -1 where the kernel has none (before Linux 5.3) or cannot give one.
int OpenPidfd(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Wakes for output and for the end alone. False when it cannot go on (the
// poll failed, or the end showed but waitpid does not see it yet): the caller
// then paces instead of spinning.
bool WaitThroughPidfd(int pid, int pidfd, OutputDrain& output, int& retcode, char* err_info) {
    Wake wake = Wake::kOutput;
    while (!CheckPidStatus(pid, retcode, err_info)) {
        if (wake == Wake::kEnd) return false;
        wake = output.WaitForOutputOrEnd(pidfd);
        if (wake == Wake::kFailed) return false;
    }
    return true;
}

// Waits for the child's end, draining its output meanwhile. Any failure to
// get a pidfd (ENOSYS before Linux 5.3, no descriptor left, ...) falls back
// to the paced loop, which sees the same end, only later.
void WaitForEnd(int pid, detail::EndWait how, OutputDrain& output, int& retcode, char* err_info) {
    if (how == detail::EndWait::kPidfd) {
        const detail::UniqueFd pidfd(OpenPidfd(pid));
        if (pidfd.valid() && WaitThroughPidfd(pid, pidfd.get(), output, retcode, err_info)) return;
    }
    while (!CheckPidStatus(pid, retcode, err_info)) output.WaitForMore();
}

}  // namespace

namespace detail {

bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo) { return CheckPidStatus(pid, retcode, errinfo); }

bool ExecuteCmdWith(const std::string& cmd, std::string& err_msg, EndWait how) {
    // timeout 0: closing the runner never kills the command.
    KPopenCmd runner(0);
    if (!runner.OpenCmd(cmd.c_str(), "re2", true)) {
        err_msg = string_sprintf("open cmd %s failed: %s\n", cmd.c_str(), runner.getErr());
        return true;
    }
    const int pid = runner.GetChildPid();
    int retcode = 0;
    char err_info[1024] = {};
    OutputDrain output(runner.GetReadFd());
    WaitForEnd(pid, how, output, retcode, err_info);
    if (retcode > 0) output.TakeRest();
    // The child is collected (or cannot be): a second wait could only hit an
    // unrelated process that got its id since.
    runner.Close(true);

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

}  // namespace detail

bool ExecuteCmd(const std::string& cmd, std::string& err_msg) {
    return detail::ExecuteCmdWith(cmd, err_msg, detail::EndWait::kPidfd);
}

}  // namespace velmor_lic
