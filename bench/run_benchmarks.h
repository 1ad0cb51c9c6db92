// BENCHMARK_MAIN's work, for programs that do more before or after it.
#pragma once

#include <benchmark/benchmark.h>

// Runs the benchmarks the command line names; false on an argument it does
// not know.
inline bool RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks();
#ifdef VELMOR_BENCHMARK_HAS_SHUTDOWN
    benchmark::Shutdown();  // frees what Initialize kept; newer than Google Benchmark 1.5.2
#endif
    return true;
}
