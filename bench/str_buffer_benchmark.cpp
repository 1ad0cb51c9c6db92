// Buffer against std::string and std::vector doing the same; each BM_X sits
// beside its baseline so one run gives the ratio.
#include "str_buffer.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

using velmor_lic::Buffer;

const size_t kMiB = size_t{1} << 20;

const std::string& MakeRandomBytes() {
    static const std::string bytes = [] {
        std::mt19937 rng(11);
        std::string s(kMiB, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    }();
    return bytes;
}

// 1 MiB appended in 64-byte pieces: to a fresh object (growth included) and
// to one emptied after each round (the append path alone).
void BM_BufferWrite64Fresh(benchmark::State& state) {
    const char piece[64] = {'w'};
    for (auto _ : state) {
        Buffer b;
        for (size_t n = 0; n < kMiB; n += sizeof(piece)) b.Write(piece, sizeof(piece));
        benchmark::DoNotOptimize(b.GetRawBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void BM_StringAppend64Fresh(benchmark::State& state) {
    const char piece[64] = {'w'};
    for (auto _ : state) {
        std::string s;
        for (size_t n = 0; n < kMiB; n += sizeof(piece)) s.append(piece, sizeof(piece));
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_BufferWrite64Fresh);
BENCHMARK(BM_StringAppend64Fresh);

void BM_BufferWrite64Reused(benchmark::State& state) {
    const char piece[64] = {'w'};
    Buffer b;
    for (auto _ : state) {
        b.Clear();
        for (size_t n = 0; n < kMiB; n += sizeof(piece)) b.Write(piece, sizeof(piece));
        benchmark::DoNotOptimize(b.GetRawBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void BM_StringAppend64Reused(benchmark::State& state) {
    const char piece[64] = {'w'};
    std::string s;
    for (auto _ : state) {
        s.clear();
        for (size_t n = 0; n < kMiB; n += sizeof(piece)) s.append(piece, sizeof(piece));
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_BufferWrite64Reused);
BENCHMARK(BM_StringAppend64Reused);

void BM_BufferPrintString(benchmark::State& state) {
    for (auto _ : state) {
        Buffer b;
        benchmark::DoNotOptimize(b.PrintString(MakeRandomBytes()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
// The obvious escape loop, byte by byte into a string.
void BM_EscapeToString(benchmark::State& state) {
    static const char kHex[] = "0123456789abcdef";
    for (auto _ : state) {
        std::string out = "\"";
        for (const char c : MakeRandomBytes()) {
            const unsigned char u = static_cast<unsigned char>(c);
            switch (c) {
                case '\a': out += "\\a"; break;
                case '\b': out += "\\b"; break;
                case '\t': out += "\\t"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                default:
                    if (u >= 0x20 && u <= 0x7e) {
                        out += c;
                    } else {
                        const char hex[4] = {'\\', 'x', kHex[u >> 4], kHex[u & 15]};
                        out.append(hex, 4);
                    }
            }
        }
        out += '"';
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_BufferPrintString);
BENCHMARK(BM_EscapeToString);

// A pipe enlarged to hold 1 MiB, refilled before every drain (untimed).
struct FilledPipe {
    int fd[2] = {-1, -1};
    bool ok = false;
    FilledPipe() { ok = pipe(fd) == 0 && fcntl(fd[1], F_SETPIPE_SZ, static_cast<int>(kMiB)) >= static_cast<int>(kMiB); }
    ~FilledPipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    bool Refill() {
        static const std::string data(kMiB, 'r');
        return write(fd[1], data.data(), data.size()) == static_cast<ssize_t>(data.size());
    }
};

void BM_BufferReadFdPipe(benchmark::State& state) {
    FilledPipe p;
    if (!p.ok) return state.SkipWithError("cannot make a 1 MiB pipe");
    for (auto _ : state) {
        state.PauseTiming();
        if (!p.Refill()) return state.SkipWithError("pipe refill failed");
        state.ResumeTiming();
        Buffer b;
        int err = 0;
        for (size_t got = 0; got < kMiB;) {
            const int n = b.ReadFD(p.fd[0], err);
            if (n <= 0) return state.SkipWithError("read failed");
            got += static_cast<size_t>(n);
        }
        benchmark::DoNotOptimize(b.GetRawBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void BM_ReadPipeToVector(benchmark::State& state) {
    FilledPipe p;
    if (!p.ok) return state.SkipWithError("cannot make a 1 MiB pipe");
    std::vector<char> chunk(65536);
    for (auto _ : state) {
        state.PauseTiming();
        if (!p.Refill()) return state.SkipWithError("pipe refill failed");
        state.ResumeTiming();
        std::vector<char> v;
        while (v.size() < kMiB) {
            const ssize_t n = read(p.fd[0], chunk.data(), chunk.size());
            if (n <= 0) return state.SkipWithError("read failed");
            v.insert(v.end(), chunk.data(), chunk.data() + n);
        }
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
BENCHMARK(BM_BufferReadFdPipe);
BENCHMARK(BM_ReadPipeToVector);

}  // namespace

BENCHMARK_MAIN();
