// ExecuteCmd: runs a command line to its end through the runner and explains
// a failure in one line.
#include <poll.h>
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

// Keeps the first 1024 bytes a command writes and drops the rest, reading
// while the command runs so that it never blocks on a full pipe.
class OutputDrain {
public:
    explicit OutputDrain(int fd) : fd_(fd), open_(fd >= 0) {}

    // Waits up to a second for output and takes it. Once the pipe is done
    // (end of file or unreadable) pauses instead, growing toward a second,
    // so that a command that closed its output costs no CPU while it runs.
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

}  // namespace

namespace detail {
bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo) { return CheckPidStatus(pid, retcode, errinfo); }
}  // namespace detail

bool ExecuteCmd(const std::string& cmd, std::string& err_msg) {
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
    while (!CheckPidStatus(pid, retcode, err_info)) output.WaitForMore();
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

}  // namespace velmor_lic
