// ExecuteCmd and KPopenCmd against system() and popen()/pclose() running the
// same commands, each next to its baseline: first in this small program, then
// with 2 GiB of touched heap (a long-running service's size), and the time to
// write every page of that heap again after each start. After the benchmarks,
// runs 1,000 commands in a row and fails when a descriptor or a child is left
// behind.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "lic_func.h"
#include "popen_cmd.h"
#include "runner_detail.h"

namespace {

std::string ReadToEnd(FILE* fp) {
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    return text;
}

// The four starts measured, each a whole run of its command.
void ExecuteCmdTrue() {
    std::string err;
    benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("true", err));
}

void SystemTrue() { benchmark::DoNotOptimize(std::system("true")); }

void PopenCmdEchoHello(bool waitToExec) {
    velmor_lic::KPopenCmd cmd(0);
    if (!cmd.OpenCmd("echo hello", "r", waitToExec)) return;
    benchmark::DoNotOptimize(ReadToEnd(cmd.GetReadFp()));
    benchmark::DoNotOptimize(cmd.Close(false));
}

void PopenEchoHello() {
    FILE* fp = ::popen("echo hello", "r");
    if (fp == nullptr) return;
    benchmark::DoNotOptimize(ReadToEnd(fp));
    benchmark::DoNotOptimize(::pclose(fp));
}

// 2 GiB, every page written once, made by the first benchmark that needs it
// (the small-program ones are registered first, so they run without it) and
// freed after the benchmarks.
constexpr size_t kBigHeapBytes = size_t{2} << 30;
constexpr size_t kPageBytes = 4096;
std::unique_ptr<std::vector<char>> big_heap;

std::vector<char>& BigHeap() {
    if (!big_heap) big_heap = std::make_unique<std::vector<char>>(kBigHeapBytes, 1);
    return *big_heap;
}

// Writes one byte of every page: the cost beyond plain memory bandwidth,
// which is all a start can add (copy-on-write faults after a fork).
void RewriteEveryPage(std::vector<char>& heap) {
    for (size_t i = 0; i < heap.size(); i += kPageBytes) heap[i] = static_cast<char>(heap[i] + 1);
    benchmark::ClobberMemory();
}

template <void (*Start)()>
void BM_Small(benchmark::State& state) {
    for (auto _ : state) Start();
}

template <void (*Start)()>
void BM_BigHeap(benchmark::State& state) {
    benchmark::DoNotOptimize(BigHeap().data());
    for (auto _ : state) Start();
}

template <void (*Start)()>
void BM_RewriteHeapAfter(benchmark::State& state) {
    std::vector<char>& heap = BigHeap();
    for (auto _ : state) {
        state.PauseTiming();
        Start();
        state.ResumeTiming();
        RewriteEveryPage(heap);
    }
}

void PopenCmdEchoHelloWait() { PopenCmdEchoHello(true); }
void PopenCmdEchoHelloNoWait() { PopenCmdEchoHello(false); }

// Each start beside its baseline, in this order: small program, 2 GiB heap,
// heap rewrite after the start.
#define VELMOR_RUNNER_BENCHMARKS(kind)                                                                   \
    BENCHMARK_TEMPLATE(kind, ExecuteCmdTrue)->Unit(benchmark::kMillisecond)->UseRealTime();              \
    BENCHMARK_TEMPLATE(kind, SystemTrue)->Unit(benchmark::kMillisecond)->UseRealTime();                  \
    BENCHMARK_TEMPLATE(kind, PopenCmdEchoHelloWait)->Unit(benchmark::kMillisecond)->UseRealTime();       \
    BENCHMARK_TEMPLATE(kind, PopenCmdEchoHelloNoWait)->Unit(benchmark::kMillisecond)->UseRealTime();     \
    BENCHMARK_TEMPLATE(kind, PopenEchoHello)->Unit(benchmark::kMillisecond)->UseRealTime()

VELMOR_RUNNER_BENCHMARKS(BM_Small);

// ExecuteCmd draining 100 MB of output while the command runs: what the
// output pipe's reads cost, against a plain read loop over popen's stream.
void BM_ExecuteCmdDrain100MB(benchmark::State& state) {
    std::string err;
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("head -c 100000000 /dev/zero", err));
}
void BM_PopenDrain100MB(benchmark::State& state) {
    for (auto _ : state) {
        FILE* fp = ::popen("head -c 100000000 /dev/zero", "r");
        if (fp == nullptr) continue;
        char buf[65536];
        while (std::fread(buf, 1, sizeof(buf), fp) > 0) {
        }
        benchmark::DoNotOptimize(::pclose(fp));
    }
}
// The deadline form against the plain one on a command that ends at once:
// the own process group and the deadline's clock are all it adds.
void BM_ExecuteCmdTrueWithDeadline(benchmark::State& state) {
    std::string err;
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("true", err, std::chrono::seconds(10)));
}
void BM_ExecuteCmdTruePlain(benchmark::State& state) {
    std::string err;
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("true", err));
}
BENCHMARK(BM_ExecuteCmdTrueWithDeadline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExecuteCmdTruePlain)->Unit(benchmark::kMillisecond)->UseRealTime();

// How late a 100 ms deadline on `sleep 10` returns: the time reported is the
// overshoot alone (the whole call minus 100 ms), woken by the pidfd (0) or
// paced as without one (1); with the pidfd, the shell moved into this
// process's group while a background sleep stays in its own (2).
void BM_DeadlineOvershoot(benchmark::State& state) {
    const auto how = state.range(0) == 1 ? velmor_lic::detail::EndWait::kPaced : velmor_lic::detail::EndWait::kPidfd;
    const std::string cmd = state.range(0) < 2 ? "sleep 10"
                                               : "sleep 10 & exec perl -e 'setpgrp(0, " + std::to_string(::getpgrp()) +
                                                     "); sleep 10'";
    const auto deadline = std::chrono::milliseconds(100);
    std::string err;
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(velmor_lic::detail::ExecuteCmdWith(cmd, err, how, deadline));
        const std::chrono::duration<double> late = std::chrono::steady_clock::now() - began - deadline;
        state.SetIterationTime(late.count());
    }
}
BENCHMARK(BM_DeadlineOvershoot)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

// A command that ends after a quiet second while a background process holds
// its output open: the time reported is how late the end is seen (the call
// minus that second), and `wakes_per_s` the thread's voluntary switches a
// second of the wait, woken by the pidfd (0) or paced as without one (1).
void BM_EndSeenWhileOutputHeld(benchmark::State& state) {
    const auto how = state.range(0) == 0 ? velmor_lic::detail::EndWait::kPidfd : velmor_lic::detail::EndWait::kPaced;
    std::string err;
    double waited = 0;
    long wakes = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_THREAD, &before);
        const auto began = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(velmor_lic::detail::ExecuteCmdWith("echo out; sleep 1; sleep 1.5 & exit 3", err, how));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        ::getrusage(RUSAGE_THREAD, &after);
        state.SetIterationTime(took.count() - 1.0);
        waited += took.count();
        wakes += after.ru_nvcsw - before.ru_nvcsw;
    }
    state.counters["wakes_per_s"] = benchmark::Counter(static_cast<double>(wakes) / waited);
}
BENCHMARK(BM_EndSeenWhileOutputHeld)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

BENCHMARK(BM_ExecuteCmdDrain100MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PopenDrain100MB)->Unit(benchmark::kMillisecond)->UseRealTime();
VELMOR_RUNNER_BENCHMARKS(BM_BigHeap);
VELMOR_RUNNER_BENCHMARKS(BM_RewriteHeapAfter);

size_t CountOpenFds() {
    size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// 1,000 commands in a row, half through each entry point.
bool RunThousandWithoutLeaks() {
    const size_t fds_before = CountOpenFds();
    std::string err;
    for (int i = 0; i < 500; ++i) {
        velmor_lic::ExecuteCmd("true", err);
        velmor_lic::KPopenCmd cmd(0);
        if (cmd.OpenCmd("echo hello", "r", true)) ReadToEnd(cmd.GetReadFp());
    }
    const size_t fds_after = CountOpenFds();
    const bool no_child = ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
    std::printf("1000 commands: descriptors %zu -> %zu, children left: %s\n", fds_before, fds_after,
                no_child ? "none" : "some");
    return fds_before == fds_after && no_child;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
#ifdef VELMOR_BENCHMARK_HAS_SHUTDOWN
    benchmark::Shutdown();
#endif
    big_heap.reset();
    return RunThousandWithoutLeaks() ? 0 : 1;
}
