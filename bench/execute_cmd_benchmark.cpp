// ExecuteCmd against system() running the same command, each next to its
// baseline so one run gives the ratio: the cost of a start (bench/start_cost.h),
// draining a chatty command's output, the deadline form, how late the return
// comes after a deadline and after the end while the output is held. Then
// runs 500 commands in a row and fails when a descriptor or a child is left
// behind.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "lic_func.h"
#include "runner_detail.h"
#include "start_cost.h"

namespace {

using start_cost::BM_BigHeap;
using start_cost::BM_RewriteHeapAfter;
using start_cost::BM_Small;

void ExecuteCmdTrue() {
    std::string err;
    benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("true", err));
}

void SystemTrue() { benchmark::DoNotOptimize(std::system("true")); }

#define VELMOR_EXECUTE_CMD_STARTS(kind)                                                     \
    BENCHMARK_TEMPLATE(kind, ExecuteCmdTrue)->Unit(benchmark::kMillisecond)->UseRealTime(); \
    BENCHMARK_TEMPLATE(kind, SystemTrue)->Unit(benchmark::kMillisecond)->UseRealTime()

VELMOR_EXECUTE_CMD_STARTS(BM_Small);

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
    const std::string cmd = state.range(0) < 2
                                ? "sleep 10"
                                : "sleep 10 & exec perl -e 'setpgrp(0, " + std::to_string(::getpgrp()) + "); sleep 10'";
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
VELMOR_EXECUTE_CMD_STARTS(BM_BigHeap);
VELMOR_EXECUTE_CMD_STARTS(BM_RewriteHeapAfter);

}  // namespace

int main(int argc, char** argv) { return start_cost::Main(argc, argv, 500, ExecuteCmdTrue); }
