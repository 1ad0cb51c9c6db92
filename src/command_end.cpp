// The end wait of RunCommand: one poll over the child's pidfd and its pipes,
// paced looks where there is no pidfd to poll.
#include "command_end.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "eintr_retry.h"
#include "own_child.h"
#include "run_cmd.h"

namespace velmor_lic {
namespace detail {

namespace {

// Without a pidfd to poll the end is looked for after 1 ms, then twice as
// long each time nothing happened, up to this: at most 25 looks a second
// while the command is quiet, and a quick command is seen at once.
constexpr int kMaxPaceMs = 40;
// The most input written at once: a pipe takes no more anyway.
constexpr size_t kWriteBytes = 65536;

// One output of the program, read into its text up to the limit; beyond it
// (or once memory ran out) read and dropped.
class Capture {
public:
    Capture(UniqueFd& fd, std::string& text, bool& truncated, size_t limit, char* chunk)
        : fd_(fd), text_(text), truncated_(truncated), limit_(limit), chunk_(chunk) {}

    int PollFd() const { return fd_.get(); }
    bool OutOfMemory() const { return outOfMemory_; }

    // Reads what the pipe has now, at most `budget` bytes; true when bytes
    // came. Closes the pipe at its end. (Non-blocking: no read waits, so
    // none is interrupted.)
    bool Read(size_t budget = SIZE_MAX) {
        bool got = false;
        while (fd_.valid() && budget > 0) {
            const size_t room = std::min(kReadChunkBytes, budget);
            const ssize_t n = ::read(fd_.get(), chunk_, room);
            if (n <= 0) {
                if (n == 0 || errno != EAGAIN) fd_.reset();  // its end, or broken
                break;
            }
            got = true;
            budget -= static_cast<size_t>(n);
            Keep(static_cast<size_t>(n));
            if (static_cast<size_t>(n) < room) break;  // emptied: spares a read that says EAGAIN
        }
        return got;
    }

    // What the pipe holds at this moment and no more: a process the program
    // left behind may write on for ever.
    void TakeWhatIsThere() {
        int held = 0;
        if (fd_.valid() && ::ioctl(fd_.get(), FIONREAD, &held) == 0 && held > 0) Read(static_cast<size_t>(held));
    }

private:
    // Appends what fits under the limit of the `n` bytes just read. (Read
    // into a chunk and appended, not straight into a grown text: a grown
    // text is zeroed first, which costs more than the copy.)
    void Keep(size_t n) {
        size_t take = outOfMemory_ ? 0 : std::min(n, limit_ - text_.size());
        try {
            text_.append(chunk_, take);
        } catch (...) {
            outOfMemory_ = true;
            take = 0;
        }
        if (take < n) truncated_ = true;
    }

    UniqueFd& fd_;
    std::string& text_;
    bool& truncated_;
    size_t limit_;
    char* chunk_;
    bool outOfMemory_ = false;
};

// The program's standard input: written as the pipe takes it, then closed.
class Feed {
public:
    Feed(UniqueFd& fd, UniqueFd& heldReader, const std::string& input)
        : fd_(fd), heldReader_(heldReader), input_(input) {}

    int PollFd() const { return fd_.get(); }

    // Writes what the pipe takes now; true when bytes went. Closes it once
    // all is written (end of file for the program), or when it refuses the
    // rest for good. (Non-blocking, as Read.)
    bool Write() {
        bool wrote = false;
        while (written_ < input_.size()) {
            const size_t size = std::min(input_.size() - written_, kWriteBytes);
            const ssize_t n = ::write(fd_.get(), input_.data() + written_, size);
            if (n < 0 && errno == EAGAIN) return wrote;
            if (n < 0) break;
            wrote = true;
            written_ += static_cast<size_t>(n);
        }
        Close();
        return wrote;
    }

    void Close() {
        fd_.reset();
        heldReader_.reset();
    }

private:
    UniqueFd& fd_;
    UniqueFd& heldReader_;
    const std::string& input_;
    size_t written_ = 0;
};

// The started program: its end seen and recorded in the result, or found
// unobservable; killed at the deadline. Through its handle (own_child.h), so
// that a child reaped elsewhere is said so, and another process that took
// its id is neither waited for nor killed.
class Child {
public:
    Child(pid_t pid, int handle, bool pollable, RunResult& result)
        : pid_(pid), handle_(handle), pollable_(pollable), result_(result) {}

    // The pidfd while polling it tells of the end.
    int PollFd() const { return pollable_ ? handle_ : -1; }
    // A pidfd of Linux 5.2 always shows ready: look at the end by pacing.
    void StopPolling() { pollable_ = false; }

    // One look; true once the end is recorded (or cannot be observed).
    bool Ended() { return Wait(true); }
    void WaitForEnd() { (void)Wait(false); }

    // Past the deadline: the program's group and the program killed, then
    // reaped.
    void KillAtDeadline() {
        if (Ended()) return;  // ended on its own just before: its own status
        (void)KillOwnChildAndGroup(pid_, handle_);
        WaitForEnd();
        result_.timed_out = result_.error.empty() && result_.signal == SIGKILL;
    }

private:
    bool Wait(bool nohang) {
        if (ended_) return true;
        int status = 0;
        // 0 only with `nohang`: the blocking wait goes on across signals.
        const int reaped = ReapOwnChild(pid_, handle_, status, nohang);
        if (reaped == 0) return false;
        ended_ = true;
        if (reaped < 0) {
            // Reaped elsewhere (SIGCHLD ignored, a handler that reaps all).
            const int err = errno;
            char pid[24];
            (void)std::snprintf(pid, sizeof(pid), "%d", static_cast<int>(pid_));
            SetError(result_.error, {"waitpid ", pid, " failed: "}, err);
        } else if (WIFEXITED(status)) {
            result_.exit_code = WEXITSTATUS(status);
        } else {
            result_.signal = WTERMSIG(status);  // no WUNTRACED: a stop is never reported
        }
        return true;
    }

    pid_t pid_;
    int handle_;
    bool pollable_;
    bool ended_ = false;
    RunResult& result_;
};

}  // namespace

void SetError(std::string& error, std::initializer_list<std::string_view> head, int err) {
    try {
        error.clear();
        for (const std::string_view piece : head) error.append(piece);
        error.append("[").append(std::to_string(err)).append("],").append(std::strerror(err));
    } catch (...) {
        char code[16];
        (void)std::snprintf(code, sizeof(code), "[%d]", err);
        error.assign(code);  // fits the string's own storage: no allocation
    }
}

void WaitForCommand(pid_t pid, int handle, bool pidfd, CommandPipes& pipes, const std::string& input,
                    const CommandLimits& limits, char* chunk, RunResult& result) {
    Child child(pid, handle, pidfd, result);
    Capture out(pipes.out, result.out, result.out_truncated, limits.maxOutput, chunk);
    Capture err(pipes.err, result.err, result.err_truncated, limits.maxOutput, chunk);
    Feed feed(pipes.in, pipes.inReader, input);
    int paceMs = 1;
    bool look = true;  // at the end: every time without a pidfd, else when it shows ready
    for (;;) {
        if ((look || child.PollFd() < 0) && child.Ended()) break;
        const int left = limits.deadline.LeftMs();
        if (left == 0) {
            child.KillAtDeadline();
            break;
        }
        pollfd fds[4] = {{child.PollFd(), POLLIN, 0},
                         {out.PollFd(), POLLIN, 0},
                         {err.PollFd(), POLLIN, 0},
                         {feed.PollFd(), POLLOUT, 0}};
        int waitMs = left;
        if (child.PollFd() < 0) {
            const bool nothingElse = fds[1].fd < 0 && fds[2].fd < 0 && fds[3].fd < 0;
            if (nothingElse && left < 0) {
                child.WaitForEnd();
                break;
            }
            waitMs = left < 0 ? paceMs : std::min(left, paceMs);
            paceMs = std::min(2 * paceMs, kMaxPaceMs);
        }
        if (::poll(fds, 4, waitMs) < 0) {
            if (errno == EINTR) continue;
            // No poll (ENOMEM): every descriptor is non-blocking, so pause
            // and try them all.
            // (-1, no deadline, counts as the most.)
            SleepMicros(std::min(static_cast<unsigned long>(waitMs), static_cast<unsigned long>(kMaxPaceMs)) * 1000UL);
            for (pollfd& p : fds) p.revents = p.fd >= 0 ? p.events : short{0};
            child.StopPolling();
        }
        bool flowed = false;
        if (fds[1].revents != 0) flowed |= out.Read();
        if (fds[2].revents != 0) flowed |= err.Read();
        if (fds[3].revents != 0) flowed |= feed.Write();
        if (flowed) paceMs = 1;
        look = fds[0].revents != 0;
        if (look && !child.Ended()) child.StopPolling();
    }
    out.TakeWhatIsThere();
    err.TakeWhatIsThere();
    if (result.error.empty() && (out.OutOfMemory() || err.OutOfMemory())) {
        SetError(result.error, {"keep output failed: "}, ENOMEM);
    }
}

}  // namespace detail
}  // namespace velmor_lic
