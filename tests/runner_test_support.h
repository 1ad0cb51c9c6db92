// Shared by the runner tests: the helper program, descriptor snapshots,
// zombie checks and checks run in a forked child of the test.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#ifdef VELMOR_SECCOMP_FAULTS
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>
#endif

#include <gtest/gtest.h>

// Under AddressSanitizer: GCC says so by __SANITIZE_ADDRESS__, clang only
// through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define VELMOR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMOR_UNDER_ASAN 1
#endif
#endif

namespace runner_test {

#ifdef CHILD_HELPER_PATH
// "'<helper>' args": a command line running the helper program.
inline std::string Helper(const std::string& args) { return std::string("'") + CHILD_HELPER_PATH + "' " + args; }
#endif

// Everything a stream gives until its end.
inline std::string ReadAll(FILE* fp) {
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    return text;
}

// Descriptor number -> what it points to, without the listing's own one.
inline std::map<int, std::string> OpenFds() {
    std::map<int, std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == ::dirfd(dir)) continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof(target) - 1) < 0) continue;
        fds[fd] = target;
    }
    ::closedir(dir);
    return fds;
}

// True when the test process has no child left, running or unreaped.
inline bool NoChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

#ifdef VELMOR_COVERAGE
extern "C" void __gcov_dump(void);
#endif

// A coverage build writes a forked child's counters before it ends (_exit
// skips that). Low descriptors are taken first, so that the rules of a fault
// filter on them miss the files the dump opens.
inline void FlushCoverage() {
#ifdef VELMOR_COVERAGE
    for (int i = 0; i < 8; ++i) (void)::open("/dev/null", O_RDONLY | O_CLOEXEC);
    __gcov_dump();
#endif
}

// Runs `body` in a forked child and returns what it found wrong, in words:
// "" when the body passed, the body's own text when it failed, or how the
// child ended when it never got to say. The child never returns into the
// test framework; it ends with _exit. With `stall_ms`, the child leads a
// process group: a body still running after that long fails, and so does one
// that leaves a process of the group behind; either way the group is killed.
inline std::string RunInChild(const std::function<std::string()>& body, int stall_ms = 0) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return "cannot make the report pipe";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return "cannot fork the checking child";
    }
    if (pid == 0) {
        ::close(report[0]);
        if (stall_ms > 0) (void)::setpgid(0, 0);
        const std::string verdict = body();
        size_t done = 0;
        while (done < verdict.size()) {
            const ssize_t n = ::write(report[1], verdict.data() + done, verdict.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(report[1]);
        FlushCoverage();
        ::_exit(0);
    }
    if (stall_ms > 0) (void)::setpgid(pid, pid);  // from both sides: whichever runs first
    ::close(report[1]);
    std::string verdict;
    char chunk[512];
    pollfd ready{report[0], POLLIN, 0};
    int polled = 1;
    while (stall_ms > 0 && (polled = ::poll(&ready, 1, stall_ms)) < 0 && errno == EINTR) {
    }
    if (polled == 0) {
        verdict = "stalled for " + std::to_string(stall_ms) + " ms; ";
        ::kill(-pid, SIGKILL);
    }
    for (;;) {
        const ssize_t n = ::read(report[0], chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        verdict.append(chunk, static_cast<size_t>(n));
    }
    ::close(report[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // The group outlives its leader while a member is left; its id is not reused till then.
    if (stall_ms > 0 && ::kill(-pid, SIGKILL) == 0) verdict += "a process of the check was left behind; ";
    if (WIFSIGNALED(status)) return verdict + "checking child killed by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return verdict + "checking child exited with " + std::to_string(WEXITSTATUS(status));
    }
    return verdict;
}

// Starts a child of this process that takes the id `pid` (clone3's set_tid,
// Linux 5.5; where clone3 is refused, the next id set through ns_last_pid,
// which another process may win), sleeps `ms` and exits 42. Its id, or -1
// where that cannot be had (root over the pid namespace is needed). Safe in
// a signal handler: only raw system calls.
inline pid_t ChildTakingId(pid_t pid, long ms) {
    struct {
        uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid, set_tid_size;
    } args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uintptr_t>(&pid);
    args.set_tid_size = 1;
    long got = ::syscall(435 /* clone3 */, &args, sizeof(args));
    if (got < 0 && errno == ENOSYS) {
        char last[16];
        const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
        const int len = std::snprintf(last, sizeof(last), "%d", pid - 1);
        const bool set = fd >= 0 && ::write(fd, last, static_cast<size_t>(len)) == len;
        if (fd >= 0) ::close(fd);
        got = set ? ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0) : -1;
        if (got > 0 && got != pid) {  // another process took the id first
            ::kill(static_cast<pid_t>(got), SIGKILL);
            ::waitpid(static_cast<pid_t>(got), nullptr, 0);
            got = -1;
        }
    }
    if (got == 0) {
        const timespec pause{ms / 1000, ms % 1000 * 1000000};
        ::syscall(SYS_nanosleep, &pause, nullptr);
        ::syscall(SYS_exit_group, 42);
    }
    return got > 0 ? static_cast<pid_t>(got) : -1;
}

// A forked check that could not set up its conditions returns Skip(reason);
// the test then skips with the reason instead of failing.
inline std::string Skip(const std::string& reason) { return "skip: " + reason; }
inline bool IsSkip(const std::string& verdict) { return verdict.compare(0, 6, "skip: ") == 0; }

// Collects what this process writes to its standard error (descriptor 2)
// from construction until Text(), which restores the old stderr. Goes
// through a temporary file, so any amount of text fits.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        std::FILE* file = std::tmpfile();
        if (file == nullptr || saved_ < 0) {
            if (file != nullptr) std::fclose(file);
            if (saved_ >= 0) ::close(saved_);
            return;  // nothing captured: Text() stays ""
        }
        file_ = file;
        ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() { Text(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Text() {
        if (file_ == nullptr) return text_;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        std::rewind(file_);
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), file_)) > 0) text_.append(chunk, n);
        std::fclose(file_);
        file_ = nullptr;
        return text_;
    }

private:
    int saved_ = -1;
    std::FILE* file_ = nullptr;
    std::string text_;
};

// Fixture base: every case must leave the descriptors as they were and no
// child behind.
class LeakCheckedTest : public testing::Test {
protected:
    void SetUp() override { fds_before_ = OpenFds(); }
    void TearDown() override {
        EXPECT_EQ(OpenFds(), fds_before_);
        EXPECT_TRUE(NoChildLeft());
    }

private:
    std::map<int, std::string> fds_before_;
};

#ifdef VELMOR_SECCOMP_FAULTS
// ---- failures injected by a seccomp filter (the fault table) ----------------

// A system call that fails with `err` when its arguments match all of `args`;
// `nth` > 0 lets the earlier matching calls through (a supervisor counts).
struct Rule {
    int nr;
    int err;
    std::vector<scmp_arg_cmp> args;
    int nth = 0;
};

// Answers the notifications of a counted rule: the `nth` call fails, every
// other one goes on as if unfiltered.
inline void Supervise(int fd, int nth, int err) {
    for (int seen = 1;; ++seen) {
        seccomp_notif req{};  // the kernel takes only a zeroed request
        if (::ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) {
            if (errno == EINTR || errno == ENOENT) continue;  // interrupted, or its caller gone
            return;
        }
        seccomp_notif_resp resp{};
        resp.id = req.id;
        resp.error = seen == nth ? -err : 0;
        resp.flags = seen == nth ? 0 : SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        (void)::ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
}

// Installs the rules on the calling thread and what it starts; "" or why not.
inline std::string Install(const std::vector<Rule>& rules) {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (ctx == nullptr) return Skip("no seccomp filter can be made");
    int counted = -1;
    for (const Rule& rule : rules) {
        const uint32_t action = rule.nth > 0 ? SCMP_ACT_NOTIFY : SCMP_ACT_ERRNO(rule.err);
        if (rule.nth > 0) counted = static_cast<int>(&rule - rules.data());
        if (seccomp_rule_add_array(ctx, action, rule.nr, static_cast<unsigned>(rule.args.size()), rule.args.data()) !=
            0) {
            seccomp_release(ctx);
            return "cannot add the rule for system call " + std::to_string(rule.nr);
        }
    }
    const int loaded = seccomp_load(ctx);
    if (loaded == 0 && counted >= 0) {
        const Rule& rule = rules[static_cast<size_t>(counted)];
        std::thread(Supervise, seccomp_notify_fd(ctx), rule.nth, rule.err).detach();
    }
    seccomp_release(ctx);
    return loaded == 0 ? "" : runner_test::Skip("seccomp refused the filter: " + std::string(std::strerror(-loaded)));
}

// The open descriptors, found without listing /proc (a rule may refuse that).
inline std::set<int> OpenFdSet() {
    std::set<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) fds.insert(fd);
    }
    return fds;
}

// The four lowest free descriptors: the next start's pipes, in order (the
// read direction's read and write end, then the write direction's).
inline std::vector<int> NextFds() {
    int a[2], b[2];
    if (::pipe(a) != 0) return {-1, -1, -1, -1};
    if (::pipe(b) != 0) {
        ::close(a[0]);
        ::close(a[1]);
        return {-1, -1, -1, -1};
    }
    const std::vector<int> fds{a[0], a[1], b[0], b[1]};
    for (int fd : fds) ::close(fd);
    return fds;
}

// An argument equal to `value`; one with all the bits of `mask` set.
inline scmp_arg_cmp Arg(unsigned index, scmp_datum_t value) { return scmp_arg_cmp{index, SCMP_CMP_EQ, value, 0}; }
inline scmp_arg_cmp Bits(unsigned index, scmp_datum_t mask) {
    return scmp_arg_cmp{index, SCMP_CMP_MASKED_EQ, mask, mask};
}
#endif  // VELMOR_SECCOMP_FAULTS

}  // namespace runner_test
