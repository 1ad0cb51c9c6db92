// RunCommand against posix_spawn doing the same with the least work: the
// start of /bin/true with three pipes, in this small program and with 2 GiB
// of touched heap; 256 MiB of output captured; the deadline form against the
// plain one; how late the return comes after a deadline. Then runs 500
// commands in a row and fails when a descriptor or a child is left behind.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <benchmark/benchmark.h>

#include "run_cmd.h"
#include "start_cost.h"

namespace {

using start_cost::BM_BigHeap;
using start_cost::BM_Small;

constexpr size_t k256MiB = size_t{256} << 20;

// posix_spawnp of `argv` with a pipe on each of 0, 1 and 2; the parent's
// ends in `parent` (stdin's write end, stdout's and stderr's read ends).
pid_t SpawnWithPipes(char* const argv[], int parent[3]) {
    int pipes[3][2];
    for (auto& p : pipes) {
        if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[0][0], 0);
    posix_spawn_file_actions_adddup2(&actions, pipes[1][1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipes[2][1], 2);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipes[0][0]);
    ::close(pipes[1][1]);
    ::close(pipes[2][1]);
    parent[0] = pipes[0][1];
    parent[1] = pipes[1][0];
    parent[2] = pipes[2][0];
    return pid;
}

void CloseAll(const int fds[3]) {
    for (int i = 0; i < 3; ++i) ::close(fds[i]);
}

void SpawnTrue() {
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    int parent[3];
    const pid_t pid = SpawnWithPipes(argv, parent);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    CloseAll(parent);
}

void RunCommandTrue() { benchmark::DoNotOptimize(velmor_lic::RunCommand({"/bin/true"}).exit_code); }

// 256 MiB of stdout kept whole, start included.
void BM_RunCommandCapture256MiB(benchmark::State& state) {
    velmor_lic::RunOptions options;
    options.max_output = k256MiB;
    for (auto _ : state) {
        const velmor_lic::RunResult result = velmor_lic::RunCommand({"head", "-c", "256M", "/dev/zero"}, options);
        if (result.out.size() != k256MiB) state.SkipWithError("output lost");
    }
}

// The floor: the same program, its stdout read into a string by a plain loop.
void BM_SpawnCapture256MiB(benchmark::State& state) {
    char* const argv[] = {const_cast<char*>("head"), const_cast<char*>("-c"), const_cast<char*>("256M"),
                          const_cast<char*>("/dev/zero"), nullptr};
    for (auto _ : state) {
        int parent[3];
        const pid_t pid = SpawnWithPipes(argv, parent);
        std::string text;
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(parent[1], chunk, sizeof(chunk))) > 0) text.append(chunk, static_cast<size_t>(n));
        if (pid > 0) ::waitpid(pid, nullptr, 0);
        CloseAll(parent);
        if (text.size() != k256MiB) state.SkipWithError("output lost");
    }
}

// A command that ends in time, with a deadline and without: the own
// process group and the clock are all the deadline adds.
void BM_RunCommandTrueWithDeadline(benchmark::State& state) {
    velmor_lic::RunOptions options;
    options.timeout = std::chrono::seconds(10);
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::RunCommand({"/bin/true"}, options).exit_code);
}
void BM_RunCommandTruePlain(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::RunCommand({"/bin/true"}).exit_code);
}

// How late a 100 ms deadline on `sleep 10` returns: the time reported is
// the overshoot alone (the whole call minus 100 ms). Run under
// `fault_tests --as-old-kernel` for the paced wait without pidfds.
void BM_RunCommandDeadlineOvershoot(benchmark::State& state) {
    velmor_lic::RunOptions options;
    options.timeout = std::chrono::milliseconds(100);
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const velmor_lic::RunResult result = velmor_lic::RunCommand({"sleep", "10"}, options);
        const std::chrono::duration<double> late = std::chrono::steady_clock::now() - began - options.timeout;
        state.SetIterationTime(late.count());
        if (!result.timed_out) state.SkipWithError("not timed out");
    }
}

BENCHMARK_TEMPLATE(BM_Small, RunCommandTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Small, SpawnTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunCommandTrueWithDeadline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunCommandTruePlain)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunCommandCapture256MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpawnCapture256MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunCommandDeadlineOvershoot)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK_TEMPLATE(BM_BigHeap, RunCommandTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_BigHeap, SpawnTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return start_cost::Main(argc, argv, 500, RunCommandTrue); }
