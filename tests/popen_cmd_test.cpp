#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "lic_func.h"
#include "popen_cmd.h"
#include "runner_detail.h"
#include "runner_test_support.h"

using namespace velmor_lic;
using runner_test::Helper;
using runner_test::RunInChild;

namespace {

std::string ReadAll(FILE* fp) {
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    return text;
}

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
    } cases[] = {{"r", true, false}, {"w", false, true}, {"rw", true, true}, {"re2", true, false},
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
        testing::internal::CaptureStderr();
        ASSERT_TRUE(cmd.OpenCmd(Helper("echo out err msg").c_str(), c.mode, true));
        EXPECT_EQ(ReadAll(cmd.GetReadFp()), c.expected);
        EXPECT_EQ(cmd.Close(false), 0);
        testing::internal::GetCapturedStderr();
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

TEST_F(PopenCmdTest, ReadWriteModeRoundTrips) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("cat").c_str(), "rw", true));
    std::fputs("ping\n", cmd.GetWriteFp());
    cmd.CloseWriteFp();
    EXPECT_EQ(ReadAll(cmd.GetReadFp()), "ping\n");
    EXPECT_EQ(cmd.Close(false), 0);
}

TEST_F(PopenCmdTest, W2WithoutReadLeavesStderrInherited) {
    testing::internal::CaptureStderr();
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("err via-stderr").c_str(), "w2", false));
    cmd.CloseWriteFp();
    EXPECT_EQ(cmd.Close(false), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "via-stderr\n");
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

TEST_F(PopenCmdTest, NonZeroTimeoutKillsRunningChild) {
    KPopenCmd cmd(5);
    ASSERT_TRUE(cmd.OpenCmd(("exec " + Helper("sleep 100000")).c_str(), "r", true));
    const pid_t pid = cmd.GetChildPid();
    testing::internal::CaptureStderr();
    EXPECT_EQ(cmd.Close(false), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kill sub pid:" + std::to_string(pid) + " success\n");
}

TEST_F(PopenCmdTest, DestructorReapsTheChild) {
    { KPopenCmd cmd(0); ASSERT_TRUE(cmd.OpenCmd(Helper("exit 2").c_str(), "rw", false)); }
}

TEST_F(PopenCmdTest, SecondOpenClosesTheFirstCommand) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("exit 5").c_str(), "rw", false));
    ASSERT_TRUE(cmd.OpenCmd(Helper("exit 6").c_str(), "r", false));
    EXPECT_EQ(cmd.Close(false), 6);
}

TEST_F(PopenCmdTest, WaitToExecReturnsOnceChildLeftOurImage) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(("exec " + Helper("sleep 100000")).c_str(), "rw", true));
    const std::string name = ShortNameOf(cmd.GetChildPid());
    EXPECT_TRUE(name == "sh" || name == "child_helper") << name;
    ASSERT_EQ(::kill(cmd.GetChildPid(), SIGKILL), 0);
    EXPECT_EQ(cmd.Close(false), 0);
}

TEST_F(PopenCmdTest, ChildThatNeverExecsIsKilled) {
    KPopenCmd cmd(0);
    // The shell stays "sh" while it waits in its builtin read; pretend that is our image.
    ASSERT_TRUE(cmd.OpenCmd("read x", "rw", true));
    detail::ExecWaitLimits quick;
    quick.first_pause_us = 0;
    quick.fast_phase_ms = 20;
    quick.fast_pause_us = 1000;
    quick.slow_looks = 2;
    quick.slow_pause_us = 1000;
    EXPECT_TRUE(detail::WaitForExec(cmd, "/some/dir/sh", quick));
    const std::string prefix = "child stat:pid:" + std::to_string(cmd.GetChildPid()) + ",bin:sh,state:";
    EXPECT_EQ(std::string(cmd.getErr()).substr(0, prefix.size()), prefix);
    EXPECT_NE(std::string(cmd.getErr()).find(",ppid:" + std::to_string(::getpid()) +
                                              " is waiting too long,kill ret:0 \n"),
              std::string::npos)
        << cmd.getErr();
    EXPECT_EQ(cmd.Close(false), 0);
}

TEST_F(PopenCmdTest, KillChildExecCloseChecksTheParent) {
    KPopenCmd cmd(0);
    ASSERT_TRUE(cmd.OpenCmd(Helper("cat").c_str(), "rw", true));
    EXPECT_FALSE(cmd.KillChildExecClose(1));
    EXPECT_NE(std::string(cmd.getErr()).find(",not match fater pid:1"), std::string::npos) << cmd.getErr();
    EXPECT_TRUE(cmd.KillChildExecClose(::getpid()));
    EXPECT_EQ(cmd.Close(false), 0);
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
    const int result = RunInChild([] {
        ::close(0);
        ::close(1);
        ::close(2);
        const auto before = runner_test::OpenFds();
        for (const char* mode : {"rw", "r", "w"}) {
            KPopenCmd cmd(0);
            if (!cmd.OpenCmd(Helper("cat").c_str(), mode, true)) return 1;
            if (cmd.GetReadFp() && cmd.GetReadFd() <= 2) return 2;
            if (cmd.GetWriteFp() && cmd.GetWriteFd() <= 2) return 3;
            if (cmd.GetWriteFp()) {
                std::fputs("x", cmd.GetWriteFp());
                cmd.CloseWriteFp();
            }
            if (cmd.GetReadFp() && std::string(mode) == "rw" && ReadAll(cmd.GetReadFp()) != "x") return 4;
            if (cmd.Close(false) != 0) return 5;
            if (runner_test::OpenFds() != before) return 6;
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(PopenCmdTest, PipeFailureClosesEverything) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer runtime itself needs the descriptors this test takes away";
#endif
    // With stdio closed the first pipe takes 0 and 1 and is held; the second fails.
    for (const bool close_stdio : {false, true}) {
        SCOPED_TRACE(close_stdio);
        const int result = RunInChild([close_stdio] {
            if (close_stdio) ::close(0), ::close(1), ::close(2);
            const auto before = runner_test::OpenFds();
            rlimit old{};
            ::getrlimit(RLIMIT_NOFILE, &old);
            const rlimit few{3, old.rlim_max};  // no descriptor above 2 can be made
            if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return runner_test::kSkipped;
            KPopenCmd cmd(0);
            if (cmd.OpenCmd("true", "rw", false)) return 1;
            if (std::string(cmd.getErr()) != "pipe2 error:24,Too many open files") return 2;
            std::string err;
            if (!ExecuteCmd("true", err)) return 3;
            if (err != "open cmd true failed: pipe2 error:24,Too many open files\n") return 4;
            ::setrlimit(RLIMIT_NOFILE, &old);  // room to list the descriptors again
            return runner_test::OpenFds() == before ? 0 : 5;
        });
        if (result == runner_test::kSkipped) GTEST_SKIP() << "cannot lower RLIMIT_NOFILE";
        EXPECT_EQ(result, 0);
    }
}

// Bind-mounts a non-executable file over /bin/sh in a private mount namespace.
int HideShell() {
    char path[] = "/tmp/popen_cmd_noexec.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return runner_test::kSkipped;
    ::fchmod(fd, 0644);
    ::close(fd);
    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return runner_test::kSkipped;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return runner_test::kSkipped;
    const int mounted = ::mount(path, "/bin/sh", nullptr, MS_BIND, nullptr);
    ::unlink(path);
    if (mounted != 0 || ::access("/bin/sh", X_OK) == 0) return runner_test::kSkipped;
    return 0;
}

TEST_F(PopenCmdTest, UnexecutableShellGives127) {
    const int result = RunInChild([] {
        if (const int hidden = HideShell()) return hidden;
        KPopenCmd cmd(0);
        if (!cmd.OpenCmd("true", "r", false)) return 1;
        if (cmd.Close(false) != 127) return 2;
        // With the wait: the dead child ends the wait at once, it is not "waiting too long".
        if (!cmd.OpenCmd("true", "r", true)) return 3;
        if (cmd.Close(false) != 127) return 4;
        std::string err;
        if (!ExecuteCmd("true", err) || err != "execute cmd failed: [127],") return 5;
        return 0;
    });
    if (result == runner_test::kSkipped) GTEST_SKIP() << "no private mount namespace to hide /bin/sh in";
    EXPECT_EQ(result, 0);
}

}  // namespace
