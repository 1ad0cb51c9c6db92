// Long runs of the command runner, one thread and eight at once: many starts
// and closes must leave the process with the descriptors it had and without
// any child, reaped or not.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "lic_func.h"
#include "popen_cmd.h"
#include "run_cmd.h"
#include "runner_test_support.h"

using runner_test::ReadAll;

namespace {

using velmor_lic::KPopenCmd;

// Every mode string that starts a child, and some that must open nothing.
const char* const kStartModes[] = {"r", "w", "rw", "re", "we", "rwe", "r2", "w2", "rw2", "re2", "we2", "rwe2"};
const char* const kRejectedModes[] = {"", "e", "2", "e2", "x", "rx"};

constexpr int kRunnerStarts = 10000;
constexpr int kExecuteCalls = 1000;

// Every run must end with the descriptors it started with and no child.
class SoakTest : public runner_test::LeakCheckedTest {};

TEST_F(SoakTest, RunnerStartsAndClosesLeaveNoDescriptorOrChild) {
    int started = 0, closed_ok = 0, rejected = 0, echo_runs = 0, echoed = 0;
    for (int i = 0; i < kRunnerStarts; ++i) {
        const char* mode = kStartModes[i % std::size(kStartModes)];
        // Every start returns after the exec; the wait only adds the readlink.
        const bool wait = i % 2 == 0;
        // Every 500th runner kills its child on Close (prints one line to stderr).
        KPopenCmd runner(i % 500 == 7 ? 1 : 0);
        const bool rw = std::string(mode) == "rw" && i % 50 == 2;
        if (!runner.OpenCmd(rw ? "cat" : ":", mode, wait)) {
            ADD_FAILURE() << "start " << i << " mode " << mode << ": " << runner.getErr();
            continue;
        }
        ++started;
        if (rw) {
            ++echo_runs;
            // A round trip through cat: the write end closes, the read end sees it all.
            std::fputs("ping\n", runner.GetWriteFp());
            runner.CloseWriteFp();
            char line[16] = {};
            if (std::fgets(line, sizeof line, runner.GetReadFp()) && std::string(line) == "ping\n") ++echoed;
        }
        if (i % 10 == 9) continue;  // the destructor closes this one
        if (runner.Close(false) == 0) ++closed_ok;
        if (i % std::size(kStartModes) == 0) {
            const char* bad = kRejectedModes[(i / std::size(kStartModes)) % std::size(kRejectedModes)];
            if (!runner.OpenCmd(":", bad, false)) ++rejected;
        }
    }
    EXPECT_EQ(started, kRunnerStarts);
    EXPECT_EQ(closed_ok, kRunnerStarts - kRunnerStarts / 10);
    EXPECT_EQ(rejected, (kRunnerStarts + std::size(kStartModes) - 1) / std::size(kStartModes));
    EXPECT_EQ(echoed, echo_runs);
    std::printf("runner: %d starts, %d closed with 0, %d rejected modes, %d echoes\n", started, closed_ok, rejected,
                echoed);
}

TEST_F(SoakTest, ExecuteCmdCallsLeaveNoDescriptorOrChild) {
    int succeeded = 0, failed_as_expected = 0;
    std::string why;
    for (int i = 0; i < kExecuteCalls; ++i) {
        if (i % 10 == 0) {
            if (velmor_lic::ExecuteCmd("exit 3", why) && why.rfind("execute cmd failed: [3],", 0) == 0)
                ++failed_as_expected;
        } else if (!velmor_lic::ExecuteCmd(":", why)) {
            ++succeeded;
        }
    }
    EXPECT_EQ(succeeded, kExecuteCalls - kExecuteCalls / 10);
    EXPECT_EQ(failed_as_expected, kExecuteCalls / 10);
    std::printf("ExecuteCmd: %d calls, %d succeeded, %d failed as expected\n", kExecuteCalls, succeeded,
                failed_as_expected);
}

// One runner per thread, eight threads starting at once: every command gets
// its own pipes and its own exit code, and nothing is left behind; the same
// for RunShell.
TEST_F(SoakTest, ConcurrentStartsFromEightThreadsStayApart) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 100;
    std::vector<std::string> wrong(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                velmor_lic::KPopenCmd cmd(0);
                if (!cmd.OpenCmd("read x; echo got $x; exit 4", "rw", i % 2 == 0)) {
                    wrong[t] += tag + ": start: " + cmd.getErr() + "\n";
                    continue;
                }
                std::fputs((tag + "\n").c_str(), cmd.GetWriteFp());
                cmd.CloseWriteFp();
                const std::string echoed = ReadAll(cmd.GetReadFp());
                if (echoed != "got " + tag + "\n") wrong[t] += tag + ": read back " + echoed + "\n";
                if (cmd.Close(false) != 4) wrong[t] += tag + ": exit code lost\n";
                std::string err;
                const bool failed = velmor_lic::ExecuteCmd("echo " + tag + "; exit 5", err);
                if (!failed || err != "execute cmd failed: [5]," + tag + "\n")
                    wrong[t] += tag + ": ExecuteCmd: " + err + "\n";
                velmor_lic::RunOptions input;
                input.input = tag + "\n";
                const velmor_lic::RunResult run = velmor_lic::RunShell("read x; echo got $x >&2; exit 6", input);
                if (run.exit_code != 6 || run.err != "got " + tag + "\n") wrong[t] += tag + ": " + run.error + "\n";
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], "") << "thread " << t;
}

}  // namespace
