#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lic_func.h"
#include "popen_cmd.h"
#include "runner_detail.h"
#include "runner_test_support.h"

using namespace velmor_lic;
using runner_test::Helper;
using runner_test::ReadAll;
using runner_test::RunInChild;

namespace {

std::string ShortNameOf(pid_t pid) {
    KCProcStat stat;
    KPopenCmd probe(0);
    return probe.GetProcStat(pid, stat) ? stat.GetbinName() : "?";
}

class PopenCmdTest : public runner_test::LeakCheckedTest {};

TEST_F(PopenCmdTest, ModesOpenTheirStreamsAboveTwo) {
    const struct {
        const char* mode;
        bool read;
        bool write;
    } cases[] = {{"r", true, false},  {"w", false, true},    {"rw", true, true},  {"re2", true, false},
                 {"w2", false, true}, {"2eer", true, false}, {"wrwr", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd(Helper("exit 0").c_str(), c.mode, false)) << cmd.getErr();
        EXPECT_GT(cmd.GetChildPid(), 0);
        EXPECT_EQ(cmd.GetReadFp() != nullptr, c.read);
        EXPECT_EQ(cmd.GetWriteFp() != nullptr, c.write);
        for (int fd : {cmd.GetReadFd(), cmd.GetWriteFd()}) {
            if (fd < 0) continue;
            EXPECT_GT(fd, 2);
            EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        }
        EXPECT_EQ(cmd.Close(false), 0);
        EXPECT_EQ(cmd.GetReadFp(), nullptr);
        EXPECT_EQ(cmd.GetWriteFd(), -1);
    }
}

TEST_F(PopenCmdTest, BadModesOpenNothing) {
    const struct {
        const char* mode;
        const char* err;
    } cases[] = {
        {"", "mode must have read or write read[0]/write[0] op,mode:"},
        {"e2", "mode must have read or write read[0]/write[0] op,mode:e2"},
        {"rx", "unknown mode:rx"},
        {"R", "unknown mode:R"},
        {"x", "unknown mode:x"},
        {nullptr, "mode must have read or write read[0]/write[0] op,mode:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        KPopenCmd cmd(0);
        EXPECT_FALSE(cmd.OpenCmd(Helper("exit 0").c_str(), c.mode, false));
        EXPECT_STREQ(cmd.getErr(), c.err);
        EXPECT_EQ(cmd.GetChildPid(), 0);
    }
}

TEST_F(PopenCmdTest, ReadModeGivesStdoutAndRe2AddsStderr) {
    const struct {
        const char* mode;
        const char* expected;
    } cases[] = {{"r", "out\n"}, {"re2", "out\nmsg\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        KPopenCmd cmd(0);
        // Without "2" the line on stderr goes to the test's own stderr.
        runner_test::StderrCapture err;
        ASSERT_TRUE(cmd.OpenCmd(Helper("echo out err msg").c_str(), c.mode, true));
        EXPECT_EQ(ReadAll(cmd.GetReadFp()), c.expected);
        EXPECT_EQ(cmd.Close(false), 0);
    }
}

TEST_F(PopenCmdTest, WriteModeFeedsStdin) {
    char path[] = "/tmp/popen_cmd_test.XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd((Helper("cat") + " > " + path).c_str(), "w", false));
    std::fputs("abc", cmd.GetWriteFp());
    cmd.CloseWriteFp();
    EXPECT_EQ(cmd.Close(false), 0);
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    EXPECT_EQ(content.str(), "abc");
    ::unlink(path);
}

// A forked copy that closes the runner first (as exit() would) drops its
// copy of the bytes not yet flushed: the child reads them once.
TEST_F(PopenCmdTest, ReadWriteModeRoundTrips) {
    for (const bool copy_closes_first : {false, true}) {
        SCOPED_TRACE(copy_closes_first);
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd(Helper("cat").c_str(), "rw", true));
        std::fputs("ping\n", cmd.GetWriteFp());
        const pid_t copy = copy_closes_first ? ::fork() : -1;
        if (copy == 0) ::_exit(cmd.Close(false));
        if (copy > 0) {
            EXPECT_EQ(::waitpid(copy, nullptr, 0), copy);
        }
        cmd.CloseWriteFp();
        EXPECT_EQ(ReadAll(cmd.GetReadFp()), "ping\n");
        EXPECT_EQ(cmd.Close(false), 0);
    }
}

TEST_F(PopenCmdTest, W2WithoutReadLeavesStderrInherited) {
    runner_test::StderrCapture err;
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("err via-stderr").c_str(), "w2", false));
    cmd.CloseWriteFp();
    EXPECT_EQ(cmd.Close(false), 0);
    EXPECT_EQ(err.Text(), "via-stderr\n");
}

TEST_F(PopenCmdTest, CloseReturnsTheExitCode) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("exit 3").c_str(), "r", false));
    EXPECT_EQ(cmd.Close(false), 3);
    EXPECT_EQ(cmd.GetChildPid(), 0);
    EXPECT_EQ(cmd.Close(false), 0);  // a second Close has nothing left
}

TEST_F(PopenCmdTest, CloseAfterSigtermReturnsZero) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(("exec " + Helper("sleep 100000")).c_str(), "r", true));
    ASSERT_EQ(::kill(cmd.GetChildPid(), SIGTERM), 0);
    EXPECT_EQ(cmd.Close(false), 0);
}

TEST_F(PopenCmdTest, CloseWithIgnoreWaitLeavesChildToCaller) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("exit 5").c_str(), "r", false));
    const pid_t pid = cmd.GetChildPid();
    EXPECT_EQ(cmd.Close(true), 0);
    EXPECT_EQ(cmd.GetChildPid(), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST_F(PopenCmdTest, CloseAfterBothStreamsClosedStillReaps) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("cat exit 4").c_str(), "rw", false));
    cmd.CloseReadFp();
    cmd.CloseWriteFp();
    EXPECT_EQ(cmd.Close(false), 4);
    EXPECT_EQ(cmd.GetChildPid(), 0);
}

// Copies the helper program to `path`, executable. False when it cannot.
bool CopyHelperTo(const std::string& path) {
    std::ifstream from(CHILD_HELPER_PATH, std::ios::binary);
    std::ofstream to(path, std::ios::binary);
    to << from.rdbuf();
    to.close();
    return from.good() && to.good() && ::chmod(path.c_str(), 0755) == 0;
}

// A scratch directory and the files in it, removed on every way out.
struct Scratch {
    std::vector<std::string> dirs, files;
    Scratch() {
        char tmp[] = "/tmp/popen_cmd_test.XXXXXX";
        if (::mkdtemp(tmp) != nullptr) dirs.push_back(tmp);
    }
    ~Scratch() {
        for (const auto& file : files) ::unlink(file.c_str());
        for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) ::rmdir(dir->c_str());
    }
};

// Both ways of a start: with the pidfd the kernel gives, and as on a kernel
// before 5.2, without.
bool Start(KPopenCmd& cmd, const std::string& command, const char* mode, bool pidfd) {
    detail::ChildOptions options;
    options.askPidfd = pidfd;
    return detail::RunnerAccess::OpenCmdWith(cmd, command.c_str(), mode, options);
}

// The kill of Close asks only whether the child is still this process's
// own: not its name (a space in it splits the status line), and never after
// it was reaped elsewhere, when its id may belong to another process. Nor
// does any Close wait for a child of the caller that took the id.
TEST_F(PopenCmdTest, NonZeroTimeoutKillsItsOwnChildOnly) {
    Scratch scratch;
    ASSERT_FALSE(scratch.dirs.empty());
    const std::string spaced = scratch.dirs.front() + "/my sleeper";
    scratch.files.push_back(spaced);
    ASSERT_TRUE(CopyHelperTo(spaced));
    enum Fate { kKept, kReaped, kIdTaken };
    const struct {
        std::string command;
        uint64_t timeout;
        Fate fate;
    } cases[] = {{"exec " + Helper("sleep 3000"), 5, kKept},
                 {"exec '" + spaced + "' sleep 3000", 5, kKept},
                 {"exec " + Helper("sleep 3000"), 5, kReaped},
                 {"exec " + Helper("sleep 3000"), 5, kIdTaken},
                 {"exec " + Helper("sleep 3000"), 0, kIdTaken}};
    bool id_refused = false;
    for (const bool pidfd : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.command + (pidfd ? ", pidfd" : ", no pidfd") + ", timeout " + std::to_string(c.timeout) +
                         ", fate " + std::to_string(c.fate));
            KPopenCmd cmd(c.timeout);
            ASSERT_TRUE(Start(cmd, c.command, "r", pidfd)) << cmd.getErr();
            const pid_t child = cmd.GetChildPid();
            const std::string pid = std::to_string(child);
            // The kill must find the program itself, not the shell before its exec.
            for (int look = 0; look < 2000 && ShortNameOf(child) == "sh"; ++look) ::usleep(1000);
            pid_t taken = -1;
            if (c.fate != kKept) {
                ASSERT_EQ(::kill(child, SIGKILL), 0);
                ASSERT_EQ(::waitpid(child, nullptr, 0), child);
                if (c.fate == kIdTaken && (taken = runner_test::ChildTakingId(child, 3000)) < 0) id_refused = true;
            }
            runner_test::StderrCapture err;
            EXPECT_EQ(cmd.Close(false), c.fate == kKept ? 0 : 1);
            const std::string refused = " error:kill child pid:" + pid + " error:10,No child processes\n";
            EXPECT_EQ(err.Text(),
                      c.timeout == 0 ? "" : "kill sub pid:" + pid + (c.fate == kKept ? " success\n" : refused));
            if (taken > 0) {
                EXPECT_EQ(::waitpid(taken, nullptr, WNOHANG), 0) << "the child that took the id was killed or reaped";
                ::kill(taken, SIGKILL);
                ::waitpid(taken, nullptr, 0);
            }
        }
        // A forked copy holds the same runner, its pidfd included, but is not the parent.
        KPopenCmd cmd(5);
        ASSERT_TRUE(Start(cmd, "exec " + Helper("sleep 3000"), "r", pidfd)) << cmd.getErr();
        const std::string pid = std::to_string(cmd.GetChildPid()), owner = std::to_string(::getpid());
        EXPECT_EQ(RunInChild([&]() -> std::string {
                      runner_test::StderrCapture err;
                      const int code = cmd.Close(false);
                      const std::string text = err.Text(), copy = std::to_string(::getpid());
                      const std::string tail = ",ppid:" + owner + ",not match fater pid:" + copy + "\n";
                      const std::string head = "kill sub pid:" + pid + " error:get child proc stat is:pid:" + pid;
                      const bool refused = text.rfind(head, 0) == 0 && text.size() > head.size() + tail.size() &&
                                           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
                      return code == 1 && refused ? "" : std::to_string(code) + " " + text;
                  }),
                  "");
        runner_test::StderrCapture err;
        EXPECT_EQ(cmd.Close(false), 0);
        EXPECT_EQ(err.Text(), "kill sub pid:" + pid + " success\n");
    }
    if (id_refused) GTEST_SKIP() << "no child can take a chosen id here (clone3 with set_tid)";
}

// Bytes the killed child will never read are dropped: Close neither waits
// for the child to take them nor dies of SIGPIPE once it is gone.
TEST_F(PopenCmdTest, NonZeroTimeoutDropsWhatTheWriteStreamStillHolds) {
    const std::string result = RunInChild([]() -> std::string {
        if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR) return "cannot reset SIGPIPE";
        KPopenCmd cmd(5);
        if (!cmd.OpenCmd(("exec " + Helper("sleep 3000")).c_str(), "w", false)) return cmd.getErr();
        // More than the pipe holds: the rest stays in the stream's buffer.
        std::fputs(std::string(65600, 'x').c_str(), cmd.GetWriteFp());
        const std::string pid = std::to_string(cmd.GetChildPid());
        runner_test::StderrCapture err;
        const int code = cmd.Close(false);
        const std::string text = err.Text();
        if (code != 0) return "Close gave " + std::to_string(code);
        return text == "kill sub pid:" + pid + " success\n" ? "" : "Close printed: " + text;
    });
    EXPECT_EQ(result, "");
}

TEST_F(PopenCmdTest, DestructorReapsTheChild) {
    {
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd(Helper("exit 2").c_str(), "rw", false));
    }
}

// A runner still holding a command closes it first, also when the new mode
// is refused.
TEST_F(PopenCmdTest, SecondOpenClosesTheFirstCommand) {
    const struct {
        const char* mode;
        bool started;
        int code;  // of the Close after the second start
    } cases[] = {{"r", true, 6}, {"q", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd(Helper("exit 5").c_str(), "rw", false));
        EXPECT_EQ(cmd.OpenCmd(Helper("exit 6").c_str(), c.mode, false), c.started);
        EXPECT_EQ(cmd.GetReadFp() != nullptr, c.started);
        EXPECT_EQ(cmd.GetWriteFp(), nullptr);
        EXPECT_EQ(cmd.Close(false), c.code);
    }
}

// From the moment the start returns the child is the shell, by its name in
// /proc too: the kernel renames it only after waking the caller.
TEST_F(PopenCmdTest, ChildIsNamedShOnceTheStartReturns) {
    for (int round = 0; round < 20; ++round) {
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd("read x; true", "rw", true));
        std::ifstream comm("/proc/" + std::to_string(cmd.GetChildPid()) + "/comm");
        std::string name;
        std::getline(comm, name);
        EXPECT_EQ(name, "sh") << "round " << round;
        EXPECT_EQ(ShortNameOf(cmd.GetChildPid()), "sh") << "round " << round;
        cmd.CloseWriteFp();
        EXPECT_EQ(cmd.Close(false), 0);
    }
}

// A program whose own name is the shell's cannot tell its child before the
// exec from after it by the name; neither the start nor WaitChildToExec may
// need to. The inner command waits for a line that is written only once
// both returned. An own path too long for the readlink buffer still records
// its text.
TEST_F(PopenCmdTest, StartsAtOnceWhateverTheProgramIsCalled) {
    Scratch scratch;
    ASSERT_FALSE(scratch.dirs.empty());
    for (const char letter : {'a', 'b', 'c'}) {
        scratch.dirs.push_back(scratch.dirs.back() + "/" + std::string(200, letter));
        ASSERT_EQ(::mkdir(scratch.dirs.back().c_str(), 0700), 0);
    }
    const struct {
        std::string program;
        std::string err_prefix;  // of the runner's text after the start
    } cases[] = {{scratch.dirs.front() + "/sh", "\n"},
                 {scratch.dirs.back() + "/sh", "readlink error:36,File name too long\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        scratch.files.push_back(c.program);
        ASSERT_TRUE(CopyHelperTo(c.program));
        KPopenCmd cmd(0);
        ASSERT_TRUE(cmd.OpenCmd(("'" + c.program + "' run 'read x; echo ran $x; exit 3'").c_str(), "rw", true))
            << cmd.getErr();
        char first[512] = {};
        EXPECT_STREQ(std::fgets(first, sizeof first, cmd.GetReadFp()), "started\n");
        std::fputs("now\n", cmd.GetWriteFp());
        cmd.CloseWriteFp();
        const std::string expected = "ran now\nerr:" + c.err_prefix;
        EXPECT_EQ(ReadAll(cmd.GetReadFp()).substr(0, expected.size()), expected);
        EXPECT_EQ(cmd.Close(false), 3);
    }
}

// The SigBlk, SigIgn or SigCgt mask in a /proc status text, or ~0 when missing.
uint64_t SignalSet(const std::string& status, const std::string& name) {
    const size_t at = status.find(name + ":\t");
    if (at == std::string::npos) return ~uint64_t{0};
    return std::stoull(status.substr(at + name.size() + 2, 16), nullptr, 16);
}

std::string OwnStatus() {
    std::stringstream status;
    status << std::ifstream("/proc/thread-self/status").rdbuf();
    return status.str();
}

uint64_t Bit(int sig) { return uint64_t{1} << (sig - 1); }
void CountSignal(int) {}

// The shell gets what a fork and exec would give it: the caller's mask, its
// ignored signals (SIGPIPE aside) and handled ones at their default. The
// caller keeps its own mask and handlers.
TEST_F(PopenCmdTest, ChildInheritsMaskAndIgnoredSignalsButNoHandler) {
    const std::string result = RunInChild([]() -> std::string {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        struct sigaction handled {};
        handled.sa_handler = CountSignal;
        if (::pthread_sigmask(SIG_BLOCK, &usr1, nullptr) != 0 || ::signal(SIGHUP, SIG_IGN) == SIG_ERR ||
            ::signal(SIGPIPE, SIG_IGN) == SIG_ERR || ::sigaction(SIGTERM, &handled, nullptr) != 0) {
            return "cannot set up the signals";
        }
        const std::string before = OwnStatus();
        KPopenCmd cmd(0);
        if (!cmd.OpenCmd(("exec " + Helper("sigs")).c_str(), "r", true)) return std::string("start: ") + cmd.getErr();
        const std::string child = ReadAll(cmd.GetReadFp());
        if (cmd.Close(false) != 0) return "the helper failed";
        std::string wrong;
        if (SignalSet(child, "SigBlk") != SignalSet(before, "SigBlk")) wrong += "mask differs; ";
        if ((SignalSet(child, "SigBlk") & Bit(SIGUSR1)) == 0) wrong += "SIGUSR1 not blocked; ";
        if (SignalSet(child, "SigIgn") != (SignalSet(before, "SigIgn") & ~Bit(SIGPIPE)))
            wrong += "ignored set differs; ";
        if ((SignalSet(child, "SigIgn") & Bit(SIGHUP)) == 0) wrong += "SIGHUP not ignored; ";
        if ((SignalSet(child, "SigCgt") | SignalSet(child, "SigIgn")) & Bit(SIGTERM))
            wrong += "SIGTERM not at default; ";
        if (SignalSet(OwnStatus(), "SigBlk") != SignalSet(before, "SigBlk")) wrong += "the caller's mask changed; ";
        struct sigaction now {};
        if (::sigaction(SIGTERM, nullptr, &now) != 0 || now.sa_handler != CountSignal)
            wrong += "caller lost its handler; ";
        return wrong.empty() ? "" : wrong + "child:\n" + child;
    });
    EXPECT_EQ(result, "");
}

TEST_F(PopenCmdTest, KillChildExecCloseChecksTheParent) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("cat").c_str(), "rw", true));
    EXPECT_FALSE(cmd.KillChildExecClose(1));
    EXPECT_NE(std::string(cmd.getErr()).find(",not match fater pid:1"), std::string::npos) << cmd.getErr();
    EXPECT_TRUE(cmd.KillChildExecClose(::getpid()));
    EXPECT_EQ(cmd.Close(false), 0);
    // Without a child there is no status file to ask.
    EXPECT_FALSE(cmd.KillChildExecClose(1));
    EXPECT_STREQ(cmd.getErr(), "open file[/proc/0/stat] fail[2,No such file or directory]");
}

TEST_F(PopenCmdTest, GetProcStatReadsOrExplains) {
    KPopenCmd cmd(0);
    KCProcStat self;
    ASSERT_TRUE(cmd.GetProcStat(::getpid(), self));
    EXPECT_EQ(self.GetPpid(), ::getppid());
    EXPECT_EQ(self.GetbinName(), "runner_tests");
    KCProcStat none;
    EXPECT_FALSE(cmd.GetProcStat(2147483647, none));
    EXPECT_STREQ(none.getErr(), "open file[/proc/2147483647/stat] fail[2,No such file or directory]");
}

TEST_F(PopenCmdTest, NoPipeEndLeaksIntoALaterCommand) {
    KPopenCmd first(0);
    ASSERT_TRUE(first.OpenCmd(Helper("cat").c_str(), "rw", true));
    std::set<int> expected{0, 1, 2};  // plus whatever we hold without close-on-exec
    for (const auto& fd : runner_test::OpenFds()) {
        if (fd.first > 2 && (::fcntl(fd.first, F_GETFD) & FD_CLOEXEC) == 0) expected.insert(fd.first);
    }
    KPopenCmd second(0);
    ASSERT_TRUE(second.OpenCmd(("exec " + Helper("fds")).c_str(), "r", true));
    std::istringstream listed(ReadAll(second.GetReadFp()));
    std::set<int> seen;
    for (int fd; listed >> fd;) seen.insert(fd);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(second.Close(false), 0);
    first.CloseWriteFp();
    EXPECT_EQ(first.Close(false), 0);
}

TEST_F(PopenCmdTest, StdioClosedPipesStillAboveTwoAndNothingLeaks) {
    const std::string result = RunInChild([]() -> std::string {
        ::close(0);
        ::close(1);
        ::close(2);
        const auto before = runner_test::OpenFds();
        for (const std::string mode : {"rw", "r", "w"}) {
            KPopenCmd cmd(0);
            if (!cmd.OpenCmd(Helper("cat").c_str(), mode.c_str(), true))
                return mode + ": start failed: " + cmd.getErr();
            if (cmd.GetReadFp() && cmd.GetReadFd() <= 2) return mode + ": read end is a standard descriptor";
            if (cmd.GetWriteFp() && cmd.GetWriteFd() <= 2) return mode + ": write end is a standard descriptor";
            if (cmd.GetWriteFp()) {
                std::fputs("x", cmd.GetWriteFp());
                cmd.CloseWriteFp();
            }
            if (cmd.GetReadFp() && mode == "rw") {
                const std::string echoed = ReadAll(cmd.GetReadFp());
                if (echoed != "x") return mode + ": read back \"" + echoed + "\" instead of \"x\"";
            }
            const int code = cmd.Close(false);
            if (code != 0) return mode + ": Close gave " + std::to_string(code);
            if (runner_test::OpenFds() != before) return mode + ": descriptors differ after Close";
        }
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST_F(PopenCmdTest, PipeFailureClosesEverything) {
#ifdef VELMOR_UNDER_ASAN
    GTEST_SKIP() << "the sanitizer runtime itself needs the descriptors this test takes away";
#endif
    // With stdio closed the first pipe takes 0 and 1 and is held; the second fails.
    for (const bool close_stdio : {false, true}) {
        SCOPED_TRACE(close_stdio);
        const std::string result = RunInChild([close_stdio]() -> std::string {
            if (close_stdio) ::close(0), ::close(1), ::close(2);
            const auto before = runner_test::OpenFds();
            rlimit old{};
            ::getrlimit(RLIMIT_NOFILE, &old);
            const rlimit few{3, old.rlim_max};  // no descriptor above 2 can be made
            if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return runner_test::Skip("cannot lower RLIMIT_NOFILE");
            KPopenCmd cmd(0);
            if (cmd.OpenCmd("true", "rw", false)) return "the start succeeded without descriptors";
            if (std::string(cmd.getErr()) != "pipe2 error:24,Too many open files") {
                return std::string("runner text: ") + cmd.getErr();
            }
            std::string err;
            if (!ExecuteCmd("true", err)) return "ExecuteCmd reported success without descriptors";
            if (err != "open cmd true failed: pipe2 error:24,Too many open files\n") return "ExecuteCmd text: " + err;
            ::setrlimit(RLIMIT_NOFILE, &old);  // room to list the descriptors again
            return runner_test::OpenFds() == before ? "" : "descriptors differ after the failed starts";
        });
        if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
        EXPECT_EQ(result, "");
    }
}

// No process can be made beyond RLIMIT_NPROC 0, which binds only users
// other than root: the start fails with its text, closes its pipes and
// gives the caller back its signal mask.
TEST_F(PopenCmdTest, FailedStartLeavesNothingAndKeepsTheMask) {
    const std::string result = RunInChild([]() -> std::string {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
        const uint64_t mask = SignalSet(OwnStatus(), "SigBlk");
        const auto before = runner_test::OpenFds();
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0) return runner_test::Skip("cannot lower RLIMIT_NPROC");
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return runner_test::Skip("cannot drop root");
        ::prctl(PR_SET_DUMPABLE, 1);  // so that /proc/self/fd stays readable

        const std::string expected = "fork error:11:Resource temporarily unavailable";
        KPopenCmd cmd(0);
        if (cmd.OpenCmd("true", "rw", false)) return "the start succeeded beyond the process limit";
        if (cmd.getErr() != expected) return std::string("runner text: ") + cmd.getErr();
        if (cmd.GetChildPid() >= 0) return "child id " + std::to_string(cmd.GetChildPid()) + " after a failed start";
        std::string err;
        if (!ExecuteCmd("true", err)) return "ExecuteCmd reported success";
        if (err != "open cmd true failed: " + expected + "\n") return "ExecuteCmd text: " + err;
        if (SignalSet(OwnStatus(), "SigBlk") != mask) return "the caller's signal mask changed";
        if (runner_test::OpenFds() != before) return "descriptors differ after the failed starts";
        return runner_test::NoChildLeft() ? "" : "a child was left";
    });
    if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

// Bind-mounts a non-executable file over /bin/sh in a private mount namespace.
// "" when it did, else a skip verdict with the reason.
std::string HideShell() {
    char path[] = "/tmp/popen_cmd_noexec.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return runner_test::Skip("cannot make a file in /tmp");
    ::fchmod(fd, 0644);
    ::close(fd);
    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        ::unlink(path);
        return runner_test::Skip("no private mount namespace to hide /bin/sh in");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ::unlink(path);
        return runner_test::Skip("cannot make the mounts private");
    }
    const int mounted = ::mount(path, "/bin/sh", nullptr, MS_BIND, nullptr);
    ::unlink(path);
    if (mounted != 0 || ::access("/bin/sh", X_OK) == 0) return runner_test::Skip("cannot bind a file over /bin/sh");
    return "";
}

// One argument beyond the kernel's 128 KiB: no shell takes it.
const std::string kTooLong = "true " + std::string(200 * 1024, 'a');
const std::string kTooLongReason = "exec /bin/sh failed: [7],Argument list too long\n";

// "<started> <Close>" of a start of kTooLong with `fd` as the caller's 2.
std::string StartWithStderr(int fd, int dup_flags) {
    const int saved = ::dup(2);
    ::dup3(fd, 2, dup_flags);
    KPopenCmd cmd(0);
    const bool started = cmd.OpenCmd(kTooLong.c_str(), "r", false);
    const std::string got = std::to_string(started) + " " + std::to_string(cmd.Close(false));
    ::dup2(saved, 2);
    ::close(saved);
    return got;
}

// Mode "r2" in a thread with a descriptor table of its own, while the main
// thread holds a file at the number of the pipe's write end there.
std::string StartInAThreadOfItsOwnTable() {
    const int below = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // where the pipe's read end goes
    char path[] = "/tmp/popen_cmd_table.XXXXXX";
    const int file = ::mkostemp(path, O_CLOEXEC);  // and its write end
    ::unlink(path);
    std::string line = "no start";
    std::thread([&] {
        if (::unshare(CLONE_FILES) != 0) return;
        ::close(below), ::close(file);
        KPopenCmd cmd(0);
        if (cmd.OpenCmd(kTooLong.c_str(), "r2", false)) line = ReadAll(cmd.GetReadFp());
        cmd.Close(false);
    }).join();
    const off_t size = ::lseek(file, 0, SEEK_END);
    ::close(below), ::close(file);
    if (line == kTooLongReason && size == 0) return "";
    return "the pipe got \"" + line + "\", the main thread's file " + std::to_string(size) + " bytes";
}

// A caller in a background process group of its terminal, TOSTOP set, the
// terminal its 2: the start returns. Makes a session of its own.
std::string StartInTheBackgroundOfATerminal() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (::setsid() < 0 || master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return runner_test::Skip("no session with a pseudo-terminal");
    }
    const int tty = ::open(::ptsname(master), O_RDWR);  // the session's controlling terminal
    termios modes{};
    if (tty < 0 || ::tcgetattr(tty, &modes) != 0) return "cannot open the terminal";
    modes.c_lflag |= TOSTOP;
    ::tcsetattr(tty, TCSANOW, &modes);
    const pid_t background = ::fork();
    if (background == 0) ::setpgid(0, 0), ::_exit(StartWithStderr(tty, 0) == "1 127" ? 0 : 1);
    int status = 0;
    ::waitpid(background, &status, WUNTRACED);
    if (WIFSTOPPED(status)) ::kill(background, SIGKILL), ::waitpid(background, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "in the background: stopped, or no 127";
}

// The child cannot say why its exec failed; the start says it for it, where
// the command's standard error would have gone, if that can take it at once,
// neither signalling nor stopping the caller.
TEST_F(PopenCmdTest, UnexecutableShellGives127AndItsReason) {
    const std::string result = RunInChild([]() -> std::string {
        std::string too_long;
        ExecuteCmd(kTooLong, too_long);
        if (too_long != "execute cmd failed: [127]," + kTooLongReason) return "ExecuteCmd: " + too_long;
        // Without a reader, full, its read end, close-on-exec: nothing written, no death, no wait.
        if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR) return "cannot reset SIGPIPE";
        const std::string kX4096(4096, 'x');
        for (const std::string kind : {"closed", "full", "read end", "close-on-exec"}) {
            int p[2];
            if (::pipe2(p, O_NONBLOCK) != 0) return "no pipe for stderr";
            while (kind == "full" && ::write(p[1], kX4096.data(), kX4096.size()) > 0) {
            }
            ::fcntl(p[1], F_SETFL, 0);  // blocking, as a stderr is
            if (kind == "closed") ::close(p[0]);
            const std::string got =
                StartWithStderr(kind == "read end" ? p[0] : p[1], kind == "close-on-exec" ? O_CLOEXEC : 0);
            char byte;
            const bool written = kind != "closed" && kind != "full" && ::read(p[0], &byte, 1) == 1;
            ::close(p[1]);
            if (kind != "closed") ::close(p[0]);
            if (got != "1 127" || written) return kind + " stderr: " + got + (written ? ", the line written" : "");
        }
        // A socket whose peer stopped reading, SIGPIPE blocked and one pending for the process: one after.
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 || ::shutdown(sv[1], SHUT_RD) != 0) {
            return "no socket pair";
        }
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
        ::kill(::getpid(), SIGPIPE);
        const std::string on_socket = StartWithStderr(sv[0], 0);
        int pending = 0;
        const timespec now{0, 0};
        while (::sigtimedwait(&pipe_only, nullptr, &now) == SIGPIPE) ++pending;
        ::close(sv[0]), ::close(sv[1]);
        if (on_socket != "1 127" || pending != 1)
            return "socket: " + on_socket + ", " + std::to_string(pending) + " SIGPIPE";
        const std::string in_thread = StartInAThreadOfItsOwnTable();
        if (!in_thread.empty()) return in_thread;
        const std::string in_background = StartInTheBackgroundOfATerminal();
        if (!in_background.empty()) return in_background;
        const std::string hidden = HideShell();
        if (!hidden.empty()) return hidden;
        const std::string reason = "exec /bin/sh failed: [13],Permission denied\n";
        KPopenCmd cmd(0);
        for (const bool wait : {false, true}) {
            // With the wait: the dead child ends the wait at once, it is not "waiting too long".
            const std::string how = wait ? "with the exec wait: " : "without the exec wait: ";
            runner_test::StderrCapture err;
            if (!cmd.OpenCmd("true", "r", wait)) return how + "start failed: " + cmd.getErr();
            const int code = cmd.Close(false);
            if (code != 127) return how + "Close gave " + std::to_string(code) + ", not 127";
            const std::string said = err.Text();
            if (said != reason) return how + "stderr: " + said;
        }
        std::string err;
        if (!ExecuteCmd("true", err)) return "ExecuteCmd reported success";
        if (err != "execute cmd failed: [127]," + reason) return "ExecuteCmd text: " + err;
        return "";
    });
    if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

}  // namespace
