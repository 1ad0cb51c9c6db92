// What a start of a child costs the program that makes it, measured the same
// way for every way of starting one: in this small program, with 2 GiB of
// touched heap (a long-running service's size), and the time to write every
// page of that heap again after each start. Shared by the benchmarks of the
// units that start children.
#pragma once

#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "run_benchmarks.h"

namespace start_cost {

// 2 GiB, every page written once, made by the first benchmark that needs it
// (the small-program ones are registered first, so they run without it) and
// freed by FreeBigHeap after the benchmarks.
constexpr size_t kBigHeapBytes = size_t{2} << 30;
constexpr size_t kPageBytes = 4096;
inline std::unique_ptr<std::vector<char>>& BigHeapSlot() {
    static std::unique_ptr<std::vector<char>> heap;
    return heap;
}
inline std::vector<char>& BigHeap() {
    if (!BigHeapSlot()) BigHeapSlot() = std::make_unique<std::vector<char>>(kBigHeapBytes, 1);
    return *BigHeapSlot();
}
inline void FreeBigHeap() { BigHeapSlot().reset(); }

// Writes one byte of every page: the cost beyond plain memory bandwidth,
// which is all a start can add (copy-on-write faults after a fork).
inline void RewriteEveryPage(std::vector<char>& heap) {
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

inline size_t CountOpenFds() {
    size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// `count` starts in a row; false (and a line saying so) when a descriptor
// or a child is left behind.
inline bool RunWithoutLeaks(int count, void (*start)()) {
    const size_t fds_before = CountOpenFds();
    for (int i = 0; i < count; ++i) start();
    const size_t fds_after = CountOpenFds();
    const bool no_child = ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
    std::printf("%d commands: descriptors %zu -> %zu, children left: %s\n", count, fds_before, fds_after,
                no_child ? "none" : "some");
    return fds_before == fds_after && no_child;
}

// The benchmarks, then the leak check; the program's exit status.
inline int Main(int argc, char** argv, int count, void (*start)()) {
    if (!RunBenchmarks(argc, argv)) return 1;
    FreeBigHeap();
    return RunWithoutLeaks(count, start) ? 0 : 1;
}

}  // namespace start_cost
