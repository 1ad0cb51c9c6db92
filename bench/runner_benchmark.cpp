// ExecuteCmd and KPopenCmd against system() and popen()/pclose() running the
// same commands, each next to its baseline. After the benchmarks, runs 1,000
// commands in a row and fails when a descriptor or a child is left behind.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "lic_func.h"
#include "popen_cmd.h"

namespace {

std::string ReadToEnd(FILE* fp) {
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    return text;
}

void BM_ExecuteCmdTrue(benchmark::State& state) {
    std::string err;
    for (auto _ : state) benchmark::DoNotOptimize(velmor_lic::ExecuteCmd("true", err));
}
BENCHMARK(BM_ExecuteCmdTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SystemTrue(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(std::system("true"));
}
BENCHMARK(BM_SystemTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PopenCmdEchoHello(benchmark::State& state) {
    for (auto _ : state) {
        velmor_lic::KPopenCmd cmd(0);
        if (!cmd.OpenCmd("echo hello", "r", true)) state.SkipWithError(cmd.getErr());
        benchmark::DoNotOptimize(ReadToEnd(cmd.GetReadFp()));
        benchmark::DoNotOptimize(cmd.Close(false));
    }
}
BENCHMARK(BM_PopenCmdEchoHello)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PopenCmdEchoHelloNoWait(benchmark::State& state) {
    for (auto _ : state) {
        velmor_lic::KPopenCmd cmd(0);
        if (!cmd.OpenCmd("echo hello", "r", false)) state.SkipWithError(cmd.getErr());
        benchmark::DoNotOptimize(ReadToEnd(cmd.GetReadFp()));
        benchmark::DoNotOptimize(cmd.Close(false));
    }
}
BENCHMARK(BM_PopenCmdEchoHelloNoWait)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PopenEchoHello(benchmark::State& state) {
    for (auto _ : state) {
        FILE* fp = ::popen("echo hello", "r");
        benchmark::DoNotOptimize(ReadToEnd(fp));
        benchmark::DoNotOptimize(::pclose(fp));
    }
}
BENCHMARK(BM_PopenEchoHello)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    benchmark::Shutdown();
    return RunThousandWithoutLeaks() ? 0 : 1;
}
