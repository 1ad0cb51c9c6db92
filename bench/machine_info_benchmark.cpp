// Whole-process cost of machine_info against its floors (a static program
// that only starts, and one that makes the same report with the fewest system
// calls), the cost of starting any process (/bin/true) and what a user would
// run instead (lsblk). Each iteration spawns the program with stdout on
// /dev/null and waits for it.
//
// The programs read whatever /sys this process sees: run it through
// bench/report_bench.sh, which mounts fake trees (64 disks, a cloud VM) over
// /sys in a private mount namespace first. With VELMOR_BASELINE_MACHINE_INFO set to
// another build of machine_info, that build runs beside this one.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_benchmarks.h"

extern char** environ;

namespace {

// Spawns argv with stdout and stderr on /dev/null; the exit status, or -1
// when it could not be started or did not exit normally.
int RunQuietly(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int spawn_error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0) return -1;

    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_Process(benchmark::State& state, std::vector<std::string> words) {
    if (access(words[0].c_str(), X_OK) != 0) {
        state.SkipWithError((words[0] + " is not executable here").c_str());
        return;
    }
    for (auto _ : state) {
        if (RunQuietly(words) != 0) {
            state.SkipWithError((words[0] + " failed").c_str());
            break;
        }
    }
}

// Baselines next to the subject so one run gives the ratios.
BENCHMARK_CAPTURE(BM_Process, BinTrue, std::vector<std::string>{"/bin/true"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, StaticEmpty, std::vector<std::string>{STATIC_EMPTY_PATH})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, FloorFull, std::vector<std::string>{REPORT_FLOOR_PATH})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, FloorIgnoreScanBlk, std::vector<std::string>{REPORT_FLOOR_PATH, "ignore_scan_blk"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, MachineInfoFull, std::vector<std::string>{MACHINE_INFO_PATH})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, MachineInfoIgnoreScanBlk, std::vector<std::string>{MACHINE_INFO_PATH, "ignore_scan_blk"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Process, Lsblk, std::vector<std::string>{"/usr/bin/lsblk", "-dno", "NAME,SERIAL"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The same two reports from another build, registered only when named.
void RegisterBaseline() {
    const char* baseline = std::getenv("VELMOR_BASELINE_MACHINE_INFO");
    if (baseline == nullptr || *baseline == '\0') return;
    benchmark::RegisterBenchmark("BM_Process/BaselineFull", BM_Process, std::vector<std::string>{baseline})
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_Process/BaselineIgnoreScanBlk", BM_Process,
                                 std::vector<std::string>{baseline, "ignore_scan_blk"})
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    RegisterBaseline();
    return RunBenchmarks(argc, argv) ? 0 : 1;
}
