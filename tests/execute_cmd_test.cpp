#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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

class ExecuteCmdTest : public runner_test::LeakCheckedTest {};

using std::chrono::milliseconds;

// ExecuteCmd as shipped (woken by the start's pidfd of the child) and with
// the paced wait it falls back to where the kernel has no pidfd.
const struct {
    const char* name;
    detail::EndWait how;
} kEndWaits[] = {{"pidfd", detail::EndWait::kPidfd}, {"paced", detail::EndWait::kPaced}};

// The two-argument form, and deadlines that a command ending in time never
// meets: none of them may change a result.
const struct Deadline {
    const char* name;
    bool given;
    milliseconds timeout;
} kInTime[] = {{"two arguments", false, milliseconds(0)},
               {"zero", true, milliseconds(0)},
               {"negative", true, milliseconds(-5)},
               {"10 s", true, milliseconds(10000)},
               {"beyond the clock", true, milliseconds::max()},
               {"most negative", true, milliseconds::min()}};
const Deadline kNoDeadline = kInTime[0];

bool RunWith(detail::EndWait how, const Deadline& deadline, const std::string& cmd, std::string& err) {
    if (how == detail::EndWait::kPaced) return detail::ExecuteCmdWith(cmd, err, how, deadline.timeout);
    return deadline.given ? ExecuteCmd(cmd, err, deadline.timeout) : ExecuteCmd(cmd, err);
}

TEST_F(ExecuteCmdTest, ExitZeroLeavesTextUntouched) {
    for (const auto& wait : kEndWaits) {
        for (const auto& deadline : kInTime) {
            for (const std::string& cmd : {Helper("exit 0"), Helper("out 1048576"), Helper("sleep 100")}) {
                SCOPED_TRACE(std::string(wait.name) + ", " + deadline.name + ": " + cmd);
                std::string err = "keep";
                EXPECT_FALSE(RunWith(wait.how, deadline, cmd, err));
                EXPECT_EQ(err, "keep");
            }
        }
    }
}

TEST_F(ExecuteCmdTest, FailureCarriesCodeAndFirst1024BytesOfOutput) {
    const std::string x1024(1024, 'x');
    const struct {
        std::string cmd;
        std::string err;
    } cases[] = {
        {Helper("err oops exit 2"), "execute cmd failed: [2],oops\n"},
        {Helper("exit 1"), "execute cmd failed: [1],"},
        {Helper("echo out err msg exit 7"), "execute cmd failed: [7],out\nmsg\n"},
        {Helper("out 1024 exit 1"), "execute cmd failed: [1]," + x1024},
        {Helper("out 3000 exit 1"), "execute cmd failed: [1]," + x1024},
        {Helper("out 1048576 exit 1"), "execute cmd failed: [1]," + x1024},  // more than a pipe holds
        {Helper("nul exit 1"), "execute cmd failed: [1],ab"},
        {"exec " + Helper("raise 9"), "execute cmd failed: [9],"},
    };
    for (const auto& wait : kEndWaits) {
        for (const auto& deadline : kInTime) {
            for (const auto& c : cases) {
                SCOPED_TRACE(std::string(wait.name) + ", " + deadline.name + ": " + c.cmd.substr(0, 200));
                std::string err;
                EXPECT_TRUE(RunWith(wait.how, deadline, c.cmd, err));
                EXPECT_EQ(err, c.err);
            }
        }
    }
}

// A process the command left in the background keeps the output pipe open:
// the end of the command itself ends the wait, with what it wrote.
TEST_F(ExecuteCmdTest, BackgroundHolderOfTheOutputDoesNotHoldTheWait) {
    for (const auto& wait : kEndWaits) {
        SCOPED_TRACE(wait.name);
        std::string err;
        EXPECT_TRUE(RunWith(wait.how, kNoDeadline, Helper("sleep 100000") + " & echo $!; exit 3", err));
        const std::string prefix = "execute cmd failed: [3],";
        ASSERT_EQ(err.substr(0, prefix.size()), prefix);
        const pid_t holder = std::atoi(err.c_str() + prefix.size());
        ASSERT_GT(holder, 0) << err;
        EXPECT_EQ(::kill(holder, SIGKILL), 0);
    }
}

// The smallest stack a thread may have still runs a command through both
// entry points: neither keeps large buffers in its frame.
TEST_F(ExecuteCmdTest, RunsOnTheSmallestThreadStack) {
#ifdef VELMOR_UNDER_ASAN
    GTEST_SKIP() << "the sanitizer's redzones make every frame larger than the build's own";
#endif
    const std::string result = RunInChild([]() -> std::string {
        struct Run {
            std::string verdict;
            static void* Body(void* raw) {
                Run& run = *static_cast<Run*>(raw);
                std::string err;
                if (!ExecuteCmd(Helper("echo hi exit 2"), err)) run.verdict += "ExecuteCmd succeeded; ";
                if (err != "execute cmd failed: [2],hi\n") run.verdict += "ExecuteCmd text: " + err + "; ";
                KPopenCmd cmd(0);
                if (!cmd.OpenCmd(Helper("exit 3").c_str(), "rw", true)) run.verdict += "start failed; ";
                if (cmd.Close(false) != 3) run.verdict += "Close did not give 3; ";
                return nullptr;
            }
        } run;
        for (const size_t stack : {static_cast<size_t>(PTHREAD_STACK_MIN), size_t{24 * 1024}}) {
            pthread_attr_t attr;
            pthread_t thread;
            if (::pthread_attr_init(&attr) != 0 || ::pthread_attr_setstacksize(&attr, stack) != 0 ||
                ::pthread_create(&thread, &attr, Run::Body, &run) != 0) {
                return runner_test::Skip("cannot make a thread of " + std::to_string(stack) + " bytes of stack");
            }
            ::pthread_join(thread, nullptr);
            ::pthread_attr_destroy(&attr);
        }
        return run.verdict;
    });
    if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

// Past the deadline every process of the shell's group is killed, also
// while signals interrupt the wait, and the output so far is kept. The
// checker adopts the orphans (a subreaper), so that it can tell them gone.
TEST_F(ExecuteCmdTest, DeadlineKillsTheWholeGroupWithTheOutputSoFar) {
    for (const auto& wait : kEndWaits) {
        SCOPED_TRACE(wait.name);
        const std::string result = RunInChild([how = wait.how]() -> std::string {
            if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return runner_test::Skip("cannot become a subreaper");
            struct sigaction tick {};
            tick.sa_handler = [](int) {};  // no SA_RESTART: every wait is interrupted
            const itimerval often{{0, 5000}, {0, 5000}};
            if (::sigaction(SIGALRM, &tick, nullptr) != 0 || ::setitimer(ITIMER_REAL, &often, nullptr) != 0) {
                return "cannot set up the interrupting timer";
            }
            std::string err;
            const Deadline short_deadline{"300 ms", true, milliseconds(300)};
            const bool failed =
                RunWith(how, short_deadline,
                        "echo $$; " + Helper("sleep 100000") + " & " + Helper("echo before sleep 100000"), err);
            const itimerval off{};
            ::setitimer(ITIMER_REAL, &off, nullptr);
            const std::string prefix = "execute cmd timed out: [300 ms],";
            if (!failed || err.compare(0, prefix.size(), prefix) != 0) return "text: " + err;
            const pid_t group = std::atoi(err.c_str() + prefix.size());
            if (err != prefix + std::to_string(group) + "\nbefore\n") return "text: " + err;
            for (int look = 0; look < 2000 && ::kill(-group, 0) == 0; ++look) {
                while (::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                ::usleep(1000);
            }
            if (::kill(-group, 0) == 0 || errno != ESRCH) return "a process of the group is left";
            return runner_test::NoChildLeft() ? "" : "a child is left";
        });
        if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
        EXPECT_EQ(result, "");
    }
}

// A process that left the group keeps the output open past the deadline:
// the return does not wait for it (it would take 5 s). Nor for the shell
// itself when it moved to another group of the session, away from the one
// the kill at the deadline signals.
TEST_F(ExecuteCmdTest, DeadlineDoesNotWaitForAHolderThatLeftTheGroup) {
    const std::string commands[] = {
        "setsid " + Helper("sleep 5000") + " & echo $!; " + Helper("sleep 100000"),
        Helper("sleep 100000") + " & exec " + Helper("pgid " + std::to_string(::getpgrp()) + " sleep 5000")};
    for (const auto& wait : kEndWaits) {
        for (const std::string& cmd : commands) {
            SCOPED_TRACE(std::string(wait.name) + ": " + cmd);
            const auto began = std::chrono::steady_clock::now();
            std::string err;
            EXPECT_TRUE(RunWith(wait.how, {"300 ms", true, milliseconds(300)}, cmd, err));
            EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
            const std::string prefix = "execute cmd timed out: [300 ms],";
            ASSERT_EQ(err.substr(0, prefix.size()), prefix);
            const pid_t holder = std::atoi(err.c_str() + prefix.size());
            if (holder > 0) {
                EXPECT_EQ(::kill(holder, SIGKILL), 0);
            }
        }
    }
}

// The first child a SIGCHLD handler of the caller reaps gives its id to a
// new child of the caller, which sleeps 100 s.
volatile pid_t g_taken_id = 0;
void ReapEveryChildAndTakeTheFirstId(int) {
    const int saved = errno;
    for (pid_t pid; (pid = ::waitpid(-1, nullptr, WNOHANG)) > 0;) {
        if (g_taken_id == 0) g_taken_id = runner_test::ChildTakingId(pid, 100000);
    }
    errno = saved;
}

// A shell reaped elsewhere, its id taken: the documented text at once, and
// the process that took the id is neither waited for nor killed.
TEST_F(ExecuteCmdTest, ShellReapedElsewhereGivesNoChildWithoutTouchingItsSuccessor) {
    for (const auto& wait : kEndWaits) {
        for (const Deadline& deadline : {kNoDeadline, Deadline{"5 s", true, milliseconds(5000)}}) {
            SCOPED_TRACE(std::string(wait.name) + ", " + deadline.name);
            const std::string result = RunInChild(
                [&]() -> std::string {
                    struct sigaction reap {};
                    reap.sa_handler = ReapEveryChildAndTakeTheFirstId;
                    reap.sa_flags = SA_RESTART;
                    ::sigaction(SIGCHLD, &reap, nullptr);
                    std::string err;
                    const bool failed = RunWith(wait.how, deadline, "exec " + Helper("sleep 300"), err);
                    const pid_t taken = g_taken_id;
                    if (taken < 0) return runner_test::Skip("no child can take a chosen id here (clone3 with set_tid)");
                    if (taken == 0) return "the shell was not reaped elsewhere: " + err;
                    const bool untouched = ::kill(taken, 0) == 0;
                    ::kill(taken, SIGKILL);
                    ::waitpid(taken, nullptr, 0);  // or the handler's
                    const std::string want = "get execute cmd state failed: [10],waitpid " + std::to_string(taken) +
                                             " failed: 10,No child processes";
                    return failed && untouched && err == want ? ""
                                                              : err + (untouched ? "" : "; the successor was killed");
                },
                10000);
            if (runner_test::IsSkip(result)) GTEST_SKIP() << result;
            EXPECT_EQ(result, "");
        }
    }
}

// "<pid> <process group>" of the shell.
TEST_F(ExecuteCmdTest, ShellLeadsItsOwnGroupOnlyWithADeadline) {
    for (const auto& deadline : kInTime) {
        SCOPED_TRACE(deadline.name);
        std::string err;
        ASSERT_TRUE(RunWith(detail::EndWait::kPidfd, deadline, "echo $$ $(cut -d' ' -f5 /proc/$$/stat); exit 1", err));
        const std::string prefix = "execute cmd failed: [1],";
        ASSERT_EQ(err.substr(0, prefix.size()), prefix);
        std::istringstream ids(err.substr(prefix.size()));
        pid_t shell = 0, group = 0;
        ids >> shell >> group;
        EXPECT_EQ(group, deadline.timeout.count() > 0 ? shell : ::getpgrp()) << err;
    }
}

TEST_F(ExecuteCmdTest, MissingProgramGivesShellCodeAndComplaint) {
    std::string err;
    EXPECT_TRUE(ExecuteCmd("/nonexistent/velmor-prog", err));
    const std::string prefix = "execute cmd failed: [127],";
    EXPECT_EQ(err.substr(0, prefix.size()), prefix);
    EXPECT_NE(err.find("/nonexistent/velmor-prog"), std::string::npos) << err;
}

TEST_F(ExecuteCmdTest, ClosedOutputWaitDoesNotSpin) {
    for (const auto& wait : kEndWaits) {
        SCOPED_TRACE(wait.name);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        std::string err;
        EXPECT_FALSE(RunWith(wait.how, kNoDeadline, Helper("closeout sleep 1500"), err)) << err;
        ::getrusage(RUSAGE_SELF, &after);
        const auto cpu_us = [](const rusage& u) {
            return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
        };
        // A busy wait would burn the whole 1.5 s; the pauses cost a few wakeups.
        EXPECT_LT(cpu_us(after) - cpu_us(before), 500000L);
    }
}

class CheckPidStatusTest : public testing::Test {};

TEST_F(CheckPidStatusTest, NonPositivePidIsFinalWithMinusOne) {
    for (int pid : {0, -5}) {
        SCOPED_TRACE(pid);
        int retcode = 0;
        char errinfo[1024] = {};
        EXPECT_TRUE(detail::CheckPidStatusSeam(pid, retcode, errinfo));
        EXPECT_EQ(retcode, -1);
        EXPECT_EQ(std::string(errinfo), "pid: " + std::to_string(pid) + " is not Positive");
    }
}

TEST_F(CheckPidStatusTest, NonChildGivesNegatedEchild) {
    int retcode = 0;
    char errinfo[1024] = {};
    EXPECT_TRUE(detail::CheckPidStatusSeam(::getppid(), retcode, errinfo));
    EXPECT_EQ(retcode, -ECHILD);
    EXPECT_EQ(std::string(errinfo), "waitpid " + std::to_string(::getppid()) + " failed: 10,No child processes");
}

TEST_F(CheckPidStatusTest, RunningChildIsNotFinalThenEndIsDecoded) {
    const struct {
        int signal;  // 0: let it exit with code 7
        int retcode;
    } cases[] = {{0, 7}, {SIGKILL, SIGKILL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        int to_child[2];
        ASSERT_EQ(::pipe(to_child), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char byte;
            ::_exit(::read(to_child[0], &byte, 1) == 1 ? 7 : 8);
        }
        ::close(to_child[0]);
        int retcode = 12345;
        char errinfo[1024] = "untouched";
        EXPECT_FALSE(detail::CheckPidStatusSeam(pid, retcode, errinfo));
        EXPECT_EQ(retcode, 12345);
        EXPECT_STREQ(errinfo, "untouched");

        if (c.signal != 0) ::kill(pid, c.signal);
        else ASSERT_EQ(::write(to_child[1], "go", 1), 1);
        while (!detail::CheckPidStatusSeam(pid, retcode, errinfo)) ::usleep(1000);
        EXPECT_EQ(retcode, c.retcode);
        ::close(to_child[1]);
    }
}

}  // namespace
