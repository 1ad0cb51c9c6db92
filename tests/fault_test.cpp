// Failures that only a refusing kernel gives, each injected into one forked
// checker by a seccomp filter: the runner, ExecuteCmd and the probes must
// give their exact texts and leave no descriptor and no child behind.
// Run as `fault_tests --as-old-kernel PROGRAM ARGS...`, it instead execs
// PROGRAM under the filter of a kernel before 5.2 (no pidfds, no clone3).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "lic_func.h"
#include "popen_cmd.h"
#include "probe_internal.h"
#include "run_cmd.h"
#include "runner_test_support.h"

using namespace velmor_lic;
using runner_test::Arg;
using runner_test::Bits;
using runner_test::Helper;
using runner_test::Install;
using runner_test::Rule;

namespace {

using Rules = std::vector<Rule>;

struct Row {
    const char* name;
    // Given the descriptors the next start or scan will get.
    std::function<Rules(const std::vector<int>& next)> rules;
    std::function<std::string(const std::vector<int>& next)> check;
};

// A row takes milliseconds; one that takes this long cannot have injected
// its failure as it should.
constexpr int kRowStallMs = 10000;

// Runs the row's check under its rules in a forked child.
std::string RunRow(const Row& row) {
    return runner_test::RunInChild(
        [&row]() -> std::string {
            const std::set<int> before = runner_test::OpenFdSet();
            const bool counted = [&] {
                for (const Rule& r : row.rules({0, 0, 0, 0}))
                    if (r.nth > 0) return true;
                return false;
            }();
            // The supervisor's descriptor takes the lowest number at the load.
            const int reserved = counted ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
            const std::vector<int> next = runner_test::NextFds();
            if (reserved >= 0) ::close(reserved);
            const std::string installed = Install(row.rules(next));
            if (!installed.empty()) return installed;
            const std::string verdict = row.check(next);
            if (!verdict.empty()) return verdict;
            std::set<int> after = runner_test::OpenFdSet();
            if (counted) after.erase(reserved);
            if (after != before) return "descriptors differ afterwards";
            return runner_test::NoChildLeft() ? "" : "a child is left";
        },
        kRowStallMs);
}

std::string Expect(const std::string& what, const std::string& got, const std::string& want) {
    return got == want ? "" : what + ": \"" + got + "\", not \"" + want + "\"";
}

// The start's text, and ExecuteCmd's and RunCommand's texts for the same failure.
std::string StartFails(const std::string& text, const std::string& run_text) {
    KPopenCmd cmd(0);
    if (cmd.OpenCmd("true", "rw", false)) return "the start succeeded";
    std::string err;
    ExecuteCmd("true", err);
    return Expect("runner", cmd.getErr(), text) + Expect("ExecuteCmd", err, "open cmd true failed: " + text + "\n") +
           Expect("RunCommand", RunCommand({"true"}).error, run_text);
}

std::string ExecuteGives(const std::string& cmd, const std::string& text) {
    std::string err;
    return ExecuteCmd(cmd, err) ? Expect("ExecuteCmd", err, text) : "ExecuteCmd succeeded";
}

// The scan of a fake /sys/block holding disks a and b, with its messages.
// The stderr capture takes the two lowest free descriptors, so the scan's
// /sys/block is the third: kScanFd of the predicted ones.
// `err` makes the message from the path of the first disk.
std::string ScanGives(int code, const std::string& disks, const std::function<std::string(const std::string&)>& err) {
    velmor_test::FakeSysfs tree;
    tree.AddDisk("a", "SA");
    tree.AddDisk("b", "SB");
    // The disk the scan meets first, in the directory's own order.
    const std::string first = tree.ListBlockDir().front();
    std::map<std::string, std::string> devices;
    runner_test::StderrCapture captured;
    const int got = detail::get_disk_id_at(tree.base(), devices);
    std::string found;
    for (const auto& d : devices) found += d.first + "=" + d.second + " ";
    return Expect("scan", std::to_string(got) + " " + found, std::to_string(code) + " " + disks) +
           Expect("stderr", captured.Text(), err(tree.sys() + "/block/" + first));
}

// Close with a timeout on `cmd`: its code, and its line with the kill's
// errno (0: the kill succeeded).
std::string CloseKills(const std::string& cmd, int code, int kill_err) {
    KPopenCmd runner(5);
    if (!runner.OpenCmd(cmd.c_str(), "r", true)) return std::string("start: ") + runner.getErr();
    const std::string pid = std::to_string(runner.GetChildPid());
    runner_test::StderrCapture captured;
    const int got = runner.Close(false);
    const std::string said = kill_err == 0 ? " success\n"
                                           : " error:kill child pid:" + pid + " error:" + std::to_string(kill_err) +
                                                 "," + std::strerror(kill_err) + "\n";
    return Expect("Close", std::to_string(got), std::to_string(code)) +
           Expect("stderr", captured.Text(), "kill sub pid:" + pid + said);
}

// close_range by number where libseccomp does not know it (2.5.1).
int CloseRangeNr() {
    const int nr = seccomp_syscall_resolve_name("close_range");
    return nr == __NR_SCMP_ERROR ? 436 : nr;
}

const std::string kX1024(1024, 'x');

// The rules of a row that needs no descriptor numbers.
std::function<Rules(const std::vector<int>&)> Always(const Rules& rules) {
    return [rules](const std::vector<int>&) { return rules; };
}

// Lets the process's data (the heap) grow by `room` bytes at most.
bool LimitHeapGrowth(size_t room) {
    std::ifstream status("/proc/self/status");
    size_t kib = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmData:", 0) == 0) kib = std::strtoul(line.c_str() + 7, nullptr, 10);
    }
    const rlimit limit{kib * 1024 + room, RLIM_INFINITY};
    return kib > 0 && ::setrlimit(RLIMIT_DATA, &limit) == 0;
}
constexpr size_t kScanFd = 2;

const Row kRows[] = {
    {"clone EAGAIN", Always({{SCMP_SYS(clone), EAGAIN, {Bits(0, CLONE_VFORK)}}}),
     [](auto&) {
         return StartFails("fork error:11:Resource temporarily unavailable",
                           "fork failed: [11],Resource temporarily unavailable");
     }},
    {"child stack mmap ENOMEM", Always({{SCMP_SYS(mmap), ENOMEM, {Bits(3, MAP_STACK)}}}),
     [](auto&) {
         return StartFails("fork error:12:Cannot allocate memory", "fork failed: [12],Cannot allocate memory");
     }},
    // The runner's pipes only: a sanitizer's probe of readable memory makes
    // pipes of its own, without flags.
    {"pipe2 ENFILE", Always({{SCMP_SYS(pipe2), ENFILE, {Arg(1, O_CLOEXEC)}}}),
     [](auto&) {
         return StartFails("pipe2 error:23,Too many open files in system",
                           "pipe failed: [23],Too many open files in system");
     }},
    {"fdopen of the read end",
     [](auto& next) {
         return Rules{{SCMP_SYS(fcntl), EINVAL, {Arg(0, next[0]), Arg(1, F_GETFL)}}};
     },
     [](auto& next) {
         KPopenCmd cmd(5);  // a start the rule missed is killed at once
         if (cmd.OpenCmd(Helper("sleep 100000").c_str(), "r", false)) return std::string("the start succeeded");
         return Expect("runner", cmd.getErr(),
                       "fdopen parent_end:" + std::to_string(next[0]) + ",mode:r is error:22:Invalid argument");
     }},
    {"fdopen of the write end",
     [](auto& next) {
         return Rules{{SCMP_SYS(fcntl), EINVAL, {Arg(0, next[3]), Arg(1, F_GETFL)}}};
     },
     [](auto& next) {
         KPopenCmd cmd(0);
         if (cmd.OpenCmd(Helper("exit 4").c_str(), "rw", false)) return std::string("the start succeeded");
         const std::string text = cmd.getErr();
         // Nothing was started: no stream, no child for Close.
         const bool kept = cmd.GetReadFp() != nullptr;
         return Expect("runner", text,
                       "fdopen parent_end:" + std::to_string(next[3]) + ",mode:w is error:22:Invalid argument") +
                Expect("read stream kept, Close", std::to_string(kept) + " " + std::to_string(cmd.Close(false)), "0 0");
     }},
    {"kill EPERM in Close", Always({{SCMP_SYS(kill), EPERM, {}}, {SCMP_SYS(pidfd_send_signal), EPERM, {}}}),
     [](auto&) { return CloseKills("exec " + Helper("sleep 200"), 0, EPERM); }},
    {"readlink EACCES", Always({{SCMP_SYS(readlink), EACCES, {}}, {SCMP_SYS(readlinkat), EACCES, {}}}),
     [](auto&) {
         KPopenCmd cmd(0);
         if (!cmd.OpenCmd("true", "r", true)) return std::string("start: ") + cmd.getErr();
         const std::string text = cmd.getErr();
         return Expect("runner", text, "readlink error:13,Permission denied") +
                Expect("Close", std::to_string(cmd.Close(false)), "0");
     }},
    {"no descriptor for a pidfd", Always({{SCMP_SYS(clone), EMFILE, {Bits(0, CLONE_PIDFD)}}}),
     [](auto&) {
         return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],hi\n") +
                CloseKills("exec " + Helper("sleep 100000"), 0, 0);
     }},
    // As container runtimes' filters answer calls they do not know.
    {"CLONE_PIDFD EPERM", Always({{SCMP_SYS(clone), EPERM, {Bits(0, CLONE_PIDFD)}}}),
     [](auto&) { return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],hi\n"); }},
    {"pidfd_send_signal EPERM", Always({{SCMP_SYS(pidfd_send_signal), EPERM, {}}}),
     [](auto&) { return CloseKills("exec " + Helper("sleep 100000"), 0, 0); }},
    // Without a handle on the child: only its id is left.
    {"no pidfd, no /proc directory",
     Always({{SCMP_SYS(clone), EPERM, {Bits(0, CLONE_PIDFD)}}, {SCMP_SYS(openat), ENOENT, {Bits(2, O_DIRECTORY)}}}),
     [](auto&) {
         return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],hi\n") +
                CloseKills("exec " + Helper("sleep 100000"), 0, 0);
     }},
    // Linux 5.2 and 5.3 give pidfds but cannot wait through them (P_PIDFD, 3).
    {"waitid P_PIDFD EINVAL", Always({{SCMP_SYS(waitid), EINVAL, {Arg(0, 3)}}}),
     [](auto&) {
         return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],hi\n") +
                CloseKills("exec " + Helper("sleep 100000"), 0, 0);
     }},
    // No filter: the heap may grow by a few MiB, less than the command line.
    {"heap refuses the command line's copy", [](auto&) { return Rules{}; },
     [](auto&) {
#ifdef VELMOR_UNDER_ASAN
         return runner_test::Skip("the sanitizer's allocator ends the process instead of refusing");
#endif
         // More than any free block the heap holds already.
         const std::string huge = "true " + std::string(size_t{64} << 20, 'a');
         if (!LimitHeapGrowth(huge.size() / 8)) return runner_test::Skip("cannot limit the data size");
         KPopenCmd cmd(0);
         if (cmd.OpenCmd(huge.c_str(), "r", false)) return std::string("the start succeeded");
         std::string err = "as it was";
         const bool failed = ExecuteCmd(huge, err);
         RunOptions keep_all;  // more than the heap may grow by: the rest is dropped
         keep_all.max_output = huge.size();
         const RunResult run = RunCommand({CHILD_HELPER_PATH, "out", std::to_string(huge.size())}, keep_all);
         return Expect("runner", cmd.getErr(), "fork error:12:Cannot allocate memory") +
                Expect("ExecuteCmd", std::to_string(failed) + " " + err, "1 as it was") +
                Expect("RunCommand", run.error + std::to_string(run.out_truncated) + std::to_string(run.exit_code),
                       "keep output failed: [12],Cannot allocate memory10");
     }},
    {"poll ENOMEM", Always({{SCMP_SYS(poll), ENOMEM, {}}, {SCMP_SYS(ppoll), ENOMEM, {}}}),
     [](auto&) {
         // Signals interrupt the pauses that take poll's place.
         struct sigaction tick {};
         tick.sa_handler = [](int) {};
         const itimerval often{{0, 3000}, {0, 3000}}, off{};
         ::sigaction(SIGALRM, &tick, nullptr);
         ::setitimer(ITIMER_REAL, &often, nullptr);
         // More than the pipe holds: without the drain the command never ends.
         const std::string verdict = ExecuteGives(Helper("out 200000 exit 1"), "execute cmd failed: [1]," + kX1024);
         RunOptions input;  // and RunCommand's input beside its output
         input.input = std::string(200000, 'x');
         const RunResult run = RunCommand({CHILD_HELPER_PATH, "cat"}, input);
         ::setitimer(ITIMER_REAL, &off, nullptr);
         return verdict + Expect("RunCommand", std::to_string(run.ok()) + std::to_string(run.out == input.input), "11");
     }},
    {"read EIO on the output",
     // The drain's own reads (a 64 KiB chunk): the child inherits the
     // filter, and its loader reads through the same descriptor number.
     [](auto& next) {
         return Rules{{SCMP_SYS(read), EIO, {Arg(0, next[0]), Arg(2, 65536)}}};
     },
     [](auto&) { return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],"); }},
    {"output not made non-blocking", Always({{SCMP_SYS(fcntl), EINVAL, {Arg(1, F_SETFL)}}}),
     [](auto&) {
         return ExecuteGives(Helper("echo hi exit 2"), "execute cmd failed: [2],hi\n") +
                ExecuteGives(Helper("out 200000 exit 1"), "execute cmd failed: [1]," + kX1024);
     }},
    {"fcntl F_SETFD EIO", Always({{SCMP_SYS(fcntl), EIO, {Arg(1, F_SETFD)}}}),
     [](auto&) {
         const int fd = ::open("/dev/null", O_RDONLY);  // without close-on-exec: the flag must be set
         runner_test::StderrCapture captured;
         const bool set = SetFdCloexec(fd);
         ::close(fd);
         return Expect("SetFdCloexec", std::to_string(set) + " " + captured.Text(),
                       "0 fcntl F_SETFD error:[5:Input/output error]");
     }},
    {"getdents64 EIO after the first batch",
     [](auto& next) {
         return Rules{{SCMP_SYS(getdents64), EIO, {Arg(0, next[kScanFd])}, 2}};
     },
     [](auto&) {
         return ScanGives(1, "a=SA b=SB ", [](const std::string& disk) {
             return "read sys block: " + disk.substr(0, disk.rfind('/')) + " failed: [5],Input/output error\n";
         });
     }},
    {"openat of a serial EACCES",
     [](auto& next) {
         return Rules{{SCMP_SYS(openat), EACCES, {Arg(0, next[kScanFd])}}};
     },
     [](auto&) {
         return ScanGives(1, "", [](const std::string& disk) {
             return "read device serial: " + disk + "/device/serial failed: Permission denied\n";
         });
     }},
    {"newfstatat of a device link EACCES",
     [](auto& next) {
         return Rules{{SCMP_SYS(openat), ENOENT, {Arg(0, next[kScanFd])}},
                      {SCMP_SYS(newfstatat), EACCES, {Arg(0, next[kScanFd]), Arg(3, 0)}}};
     },
     [](auto&) {
         return ScanGives(1, "", [](const std::string& disk) {
             return "get device: " + disk + "/device state failed: [13],Permission denied\n";
         });
     }},
    {"the report's write EIO", Always({{SCMP_SYS(write), EIO, {Arg(0, 1)}}}),
     [](auto&) {
         if (!velmor_test::WhyNoPrivateSys().empty()) return runner_test::Skip("no private mount namespace");
         velmor_test::FakeSysfs tree;
         tree.SetModalias("dmi:x\n");
         tree.AddDisk("a", "SA");
         const velmor_test::RunResult run = velmor_test::RunWithFakeSys(MACHINE_INFO_PATH, tree, {});
         return Expect("exit status, output and message", std::to_string(run.exit_status) + " " + run.out + run.err,
                       "1 write report failed: [5],Input/output error\n");
     }},
    {"open of /dev/null EACCES", Always({{SCMP_SYS(openat), EACCES, {Arg(2, O_RDONLY | O_CLOEXEC)}}}),
     [](auto&) {
         return Expect("RunCommand", RunCommand({"true"}).error, "open /dev/null failed: [13],Permission denied");
     }},
    // Neither close_range nor a listing of /proc: each descriptor below the limit.
    {"RunCommand without close_range or a listing",
     [](auto&) {
         return Rules{{CloseRangeNr(), ENOSYS, {}}, {SCMP_SYS(openat), EACCES, {Bits(2, O_DIRECTORY)}}};
     },
     [](auto&) {
         const int kept = ::open("/dev/null", O_RDONLY);
         const std::string fds = RunCommand({CHILD_HELPER_PATH, "fds"}).out;
         ::close(kept);
         return Expect("the program's descriptors", fds, "0 1 2 \n");
     }},
    // No filter: the child's end is collected by the kernel, not the runner.
    {"SIGCHLD ignored", [](auto&) { return Rules{}; },
     [](auto&) {
         if (::signal(SIGCHLD, SIG_IGN) == SIG_ERR) return std::string("cannot ignore SIGCHLD");
         KPopenCmd cmd(0);
         if (!cmd.OpenCmd("exit 3", "r", false)) return std::string("start: ") + cmd.getErr();
         const std::string close = Expect("Close", std::to_string(cmd.Close(false)), "1");
         std::string err;
         if (!ExecuteCmd("true", err)) return close + "ExecuteCmd succeeded";
         const std::string prefix = "get execute cmd state failed: [10],waitpid ";
         const std::string pid =
             err.substr(0, prefix.size()) == prefix ? std::to_string(std::atoi(&err[prefix.size()])) : "?";
         return close + Expect("ExecuteCmd", err, prefix + pid + " failed: 10,No child processes");
     }},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class FaultTest : public testing::TestWithParam<Row> {};

TEST_P(FaultTest, GivesItsTextAndLeavesNothing) {
    const std::string verdict = RunRow(GetParam());
    if (runner_test::IsSkip(verdict)) GTEST_SKIP() << verdict;
    EXPECT_EQ(verdict, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTest, testing::ValuesIn(kRows), [](const testing::TestParamInfo<Row>& info) {
    std::string name;
    for (const char* c = info.param.name; *c != '\0'; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

// Execs PROGRAM under the rules: as on a kernel before 5.2 (no pidfd calls,
// no clone3, no close_range, CLONE_PIDFD refused; older kernels ignore it:
// the runner's own seam covers that), or in a container whose seccomp
// profile answers the newer calls with EPERM (clone3 with ENOSYS, so that
// the C library's own thread start falls back).
int RunUnder(const char* what, int err, char** argv) {
    const std::string installed = Install({{SCMP_SYS(pidfd_open), err, {}},
                                           {SCMP_SYS(pidfd_send_signal), err, {}},
                                           {SCMP_SYS(pidfd_getfd), err, {}},
                                           {CloseRangeNr(), err, {}},
                                           {SCMP_SYS(clone3), ENOSYS, {}},
                                           {SCMP_SYS(clone), err == ENOSYS ? EINVAL : err, {Bits(0, CLONE_PIDFD)}}});
    if (!installed.empty()) {
        std::fprintf(stderr, "cannot run as %s: %s\n", what, installed.c_str());
        return 77;  // CTest's skip code for these tests
    }
    ::execv(argv[0], argv);
    std::perror(argv[0]);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--as-old-kernel") == 0) return RunUnder("an old kernel", ENOSYS, argv + 2);
    if (argc > 2 && std::strcmp(argv[1], "--as-sandbox") == 0) return RunUnder("a sandbox", EPERM, argv + 2);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
