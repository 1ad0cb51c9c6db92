// KPopenCmd against popen()/pclose() running the same command, each next to
// its baseline so one run gives the ratio: the cost of a start, with and
// without the exec wait (bench/start_cost.h). Then runs 500 commands in a row
// and fails when a descriptor or a child is left behind.
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "popen_cmd.h"
#include "start_cost.h"

namespace {

using start_cost::BM_BigHeap;
using start_cost::BM_RewriteHeapAfter;
using start_cost::BM_Small;

std::string ReadToEnd(FILE* fp) {
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    return text;
}

void PopenCmdEchoHello(bool waitToExec) {
    velmor_lic::KPopenCmd cmd(0);
    if (!cmd.OpenCmd("echo hello", "r", waitToExec)) return;
    benchmark::DoNotOptimize(ReadToEnd(cmd.GetReadFp()));
    benchmark::DoNotOptimize(cmd.Close(false));
}

void PopenCmdEchoHelloWait() { PopenCmdEchoHello(true); }
void PopenCmdEchoHelloNoWait() { PopenCmdEchoHello(false); }

void PopenEchoHello() {
    FILE* fp = ::popen("echo hello", "r");
    if (fp == nullptr) return;
    benchmark::DoNotOptimize(ReadToEnd(fp));
    benchmark::DoNotOptimize(::pclose(fp));
}

// Each start beside its baseline, in this order: small program, 2 GiB heap,
// heap rewrite after the start.
#define VELMOR_POPEN_CMD_STARTS(kind)                                                                \
    BENCHMARK_TEMPLATE(kind, PopenCmdEchoHelloWait)->Unit(benchmark::kMillisecond)->UseRealTime();   \
    BENCHMARK_TEMPLATE(kind, PopenCmdEchoHelloNoWait)->Unit(benchmark::kMillisecond)->UseRealTime(); \
    BENCHMARK_TEMPLATE(kind, PopenEchoHello)->Unit(benchmark::kMillisecond)->UseRealTime()

VELMOR_POPEN_CMD_STARTS(BM_Small);
VELMOR_POPEN_CMD_STARTS(BM_BigHeap);
VELMOR_POPEN_CMD_STARTS(BM_RewriteHeapAfter);

}  // namespace

int main(int argc, char** argv) { return start_cost::Main(argc, argv, 500, PopenCmdEchoHelloWait); }
