#include <sys/prctl.h>
#include <sys/time.h>

#include "run_cmd.h"
#include "runner_test_support.h"

using namespace velmor_lic;
using Argv = std::vector<std::string>;

namespace {

const std::string kHelper = CHILD_HELPER_PATH;
const std::string kMiB8(8 << 20, 'x');
constexpr size_t kMax = 16u << 20;

RunOptions Opts(const std::string& input = "", size_t max = kMax, std::chrono::milliseconds::rep ms = 0,
                const Argv& env = {}, bool clear = false, const std::string& cwd = "") {
    RunOptions o;
    o.input = input, o.max_output = max, o.timeout = std::chrono::milliseconds(ms), o.env = env, o.clear_env = clear;
    o.cwd = cwd;
    return o;
}

// PATH starts with a directory holding "script" (executable, no "#!"), and
// "plain" and "printf" (not executable: the search goes on past the latter),
// then the working directory, a file and a directory name too long to use.
class RunCommandTest : public runner_test::LeakCheckedTest {
    void SetUp() override {
        LeakCheckedTest::SetUp();
        ASSERT_TRUE(RunShell("rm -rf " + dir_ + " && mkdir " + dir_ + " && cd " + dir_ +
                             " && echo 'echo script \"$@\"' >script && chmod +x script && touch plain printf")
                        .ok());
        ::setenv("PATH", (dir_ + "::/etc/passwd:" + std::string(4096, 'd') + ":" + path_).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", path_.c_str(), 1);
        RunCommand({"rm", "-r", dir_});
        LeakCheckedTest::TearDown();
    }
    const std::string path_ = std::getenv("PATH"), dir_ = "/tmp/velmor-run-" + std::to_string(::getpid());
};

// status: started, exit code, signal, out_truncated; text: err, then error.
TEST_F(RunCommandTest, ResultsAsDeclared) {
    const std::string both = "'" + kHelper + "' out 8388608 & '" + kHelper + "' out 8388608 >&2; wait";
    const std::string in = std::string("a\0b\n", 4) + kMiB8, einval = ": [22],Invalid argument",
                      enoent = " failed: [2],No such file or directory";
    const struct {
        Argv argv;  // {"sh -c", line}: RunShell(line)
        RunOptions options;
        std::string status, out, text;
    } cases[] = {
        // Status, and the outputs apart, whole or cut.
        {{kHelper, "exit", "9"}, Opts(), "1 9 0 0", "", ""},
        {{"sh -c", "kill -9 $$"}, Opts(), "1 -1 9 0", "", ""},
        {{kHelper, "echo", "o", "err", "e", "nul", "exit", "3"}, Opts(), "1 3 0 0", std::string("o\nab\0cd", 7), "e\n"},
        {{"sh -c", both}, Opts(), "1 0 0 0", kMiB8, kMiB8},
        {{kHelper, "out", "1048576"}, Opts("", 10), "1 0 0 1", "xxxxxxxxxx", ""},
        {{kHelper, "out", "10"}, Opts("", 10), "1 0 0 0", "xxxxxxxxxx", ""},
        {{kHelper, "exit", "0"}, Opts("", kMax, std::chrono::milliseconds::max().count()), "1 0 0 0", "", ""},
        {{kHelper, "exit", "0"}, Opts("", kMax, std::chrono::milliseconds::min().count()), "1 0 0 0", "", ""},
        {{"sh -c", "velmor-no-such"},
         Opts("", kMax, 0, {"PATH=/bin"}),
         "1 127 0 0",
         "",
         "sh: 1: velmor-no-such: not found\n"},
        // What the program gets: arguments, input, cwd, environment, the PATH search.
        {{"printf", "[%s]", "it's a \"file\"", "", "$HOME `x`", "a\nb", " * "},
         Opts(),
         "1 0 0 0",
         "[it's a \"file\"][][$HOME `x`][a\nb][ * ]",
         ""},
        {{"readlink", "/proc/self/fd/0"}, Opts(), "1 0 0 0", "/dev/null\n", ""},
        {{kHelper, "cat"}, Opts(in), "1 0 0 0", in, ""},
        {{kHelper, "exit", "0"}, Opts(in), "1 0 0 0", "", ""},  // unread: dropped, no SIGPIPE here
        {{"pwd"}, Opts("", kMax, 0, {}, false, "/"), "1 0 0 0", "/\n", ""},
        {{"printenv", "VELMOR_A", "HOME"},
         Opts("", kMax, 0, {"VELMOR_A=1", "HOME=/h", "VELMOR_A=2"}),
         "1 0 0 0",
         "2\n/h\n",
         ""},
        {{"env"}, Opts("", kMax, 0, {"PATH=/nowhere"}, true), "1 0 0 0", "PATH=/nowhere\n", ""},
        {{"script", "x y"}, Opts(), "1 0 0 0", "script x y\n", ""},
        // Never started.
        {{}, Opts(), "0 -1 0 0", "", "empty argv" + einval},
        {{"echo", std::string("a\0b", 3)}, Opts(), "0 -1 0 0", "", "NUL byte in argv[1]" + einval},
        {{"sh -c", std::string("a\0b", 3)}, Opts(), "0 -1 0 0", "", "NUL byte in the command" + einval},
        {{"true"}, Opts("", kMax, 0, {}, false, std::string("/\0", 2)), "0 -1 0 0", "", "NUL byte in cwd" + einval},
        {{"true"}, Opts("", kMax, 0, {"A=1", "B"}), "0 -1 0 0", "", "no NAME= in env[1]" + einval},
        {{"true"}, Opts("", kMax, 0, {"=1"}), "0 -1 0 0", "", "no NAME= in env[0]" + einval},
        {{"true"}, Opts("", kMax, 0, {std::string("A=\0", 3)}), "0 -1 0 0", "", "NUL byte in env[0]" + einval},
        {{"/nonexistent/velmor"}, Opts(), "0 -1 0 0", "", "exec /nonexistent/velmor" + enoent},
        {{"velmor-no-such"}, Opts(), "0 -1 0 0", "", "exec velmor-no-such" + enoent},
        {{""}, Opts(), "0 -1 0 0", "", "exec " + enoent},
        {{std::string(256, 'n')},
         Opts(),
         "0 -1 0 0",
         "",
         "exec " + std::string(256, 'n') + " failed: [36],File name too long"},
        {{"plain"}, Opts(), "0 -1 0 0", "", "exec plain failed: [13],Permission denied"},
        {{"true", std::string(200000, 'a')}, Opts(), "0 -1 0 0", "", "exec true failed: [7],Argument list too long"},
        {{"true"}, Opts("", kMax, 0, {}, false, "/nonexistent"), "0 -1 0 0", "", "chdir /nonexistent" + enoent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv.empty() ? c.text : c.argv.back());
        const RunResult r =
            !c.argv.empty() && c.argv[0] == "sh -c" ? RunShell(c.argv[1], c.options) : RunCommand(c.argv, c.options);
        EXPECT_EQ(std::to_string(r.started) + " " + std::to_string(r.exit_code) + " " + std::to_string(r.signal) + " " +
                      std::to_string(r.out_truncated),
                  c.status);
        EXPECT_EQ(r.ok(), c.status.compare(0, 6, "1 0 0 ") == 0);
        EXPECT_TRUE(r.out == c.out && r.err + r.error == c.text) << r.out.substr(0, 99) << "|" << r.err + r.error;
    }
}

// Of the caller's state only 0, 1 and 2 reach the program, also in a daemon
// with those closed (which stay closed); signals start at their defaults; an
// end reaped elsewhere is said so.
TEST_F(RunCommandTest, OnlyTheProgramsOwnStateReachesIt) {
    const std::string verdict = runner_test::RunInChild([]() -> std::string {
        ::open("/dev/null", O_RDONLY);
        ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
        ::signal(SIGTERM, SIG_IGN);
        const std::string sigs = RunCommand({kHelper, "fds", "sigs"}).out;  // SigCgt: the helper's own (sanitizers)
        std::string got = sigs.substr(0, sigs.find("SigCgt")) + "|";
        for (int fd = 0; fd < 3; ++fd) ::close(fd);
        got += RunCommand({kHelper, "fds", "cat"}, Opts("in")).out + "|";
        for (int fd = 0; fd < 3; ++fd) got += ::fcntl(fd, F_GETFD) < 0 ? "" : "open ";
        ::clearenv();  // no environment, and no PATH: "/bin:/usr/bin"
        ::signal(SIGCHLD, SIG_IGN);
        const RunResult r = RunCommand({"true"});
        return got + std::to_string(r.started) + std::to_string(r.ok()) + std::to_string(r.exit_code) +
               r.error.substr(r.error.find(" failed") + 1);
    });
    const std::string zero = "0000000000000000\n";
    EXPECT_EQ(verdict,
              "0 1 2 \nSigBlk:\t" + zero + "SigIgn:\t" + zero + "|0 1 2 \nin|10-1failed: [10],No child processes");
}

// Without a deadline nothing is killed, and a process left holding the
// output does not hold the return; at the deadline the whole group is
// killed and what was written before is kept. Signals interrupt it all.
TEST_F(RunCommandTest, EndsWithTheProgramAndKillsOnlyAtTheDeadline) {
    const std::string verdict = runner_test::RunInChild(
        []() -> std::string {
            if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return runner_test::Skip("cannot become a subreaper");
            struct sigaction tick {};
            tick.sa_handler = [](int) {};  // no SA_RESTART: every wait is interrupted, every 5 ms
            const itimerval often{{0, 5000}, {0, 5000}};
            if (::sigaction(SIGALRM, &tick, nullptr) != 0 || ::setitimer(ITIMER_REAL, &often, nullptr) != 0)
                return "timer";
            const std::string holder = "'" + kHelper + "' sleep 100000 & echo $!";
            std::string got;
            for (int ms : {0, 10000, 300}) {
                const std::string line = ms == 300 ? "echo $$; " + holder + "; exec sleep 100" : holder;
                const RunResult r = RunShell(line, Opts("", kMax, ms));
                // The holder's id; at the deadline the group's, gone once its killed members are reaped.
                const pid_t pid = std::atoi(r.out.c_str());
                if (ms != 300 && ::kill(pid, 0) == 0 && ::kill(pid, SIGKILL) == 0) got += "alive ";
                while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
                }
                if (ms == 300 && ::kill(-pid, 0) != 0) got += "gone ";
                got += std::to_string(r.exit_code) + " " + std::to_string(r.signal) + " " + std::to_string(r.timed_out);
                got += " " + std::to_string(r.ok()) + "; ";
            }
            return got;
        },
        60000);
    if (runner_test::IsSkip(verdict)) GTEST_SKIP() << verdict;
    EXPECT_EQ(verdict, "alive 0 0 0 1; alive 0 0 0 1; gone -1 9 1 0; ");
}

}  // namespace
