// Split_KMP and Tokenize against the plain standard-library way of cutting
// the same text; each BM_X sits beside its baseline so one run gives the ratio.
#include "lic_func.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

const size_t kMiB = size_t{1} << 20;

// 1 MiB of lower-case words, mostly separated by " ", every fifth by ", ".
const std::string& MakeWords() {
    static const std::string text = [] {
        std::mt19937 rng(7);
        std::string s;
        s.reserve(kMiB + 16);
        for (int word = 1; s.size() < kMiB; ++word) {
            const size_t len = 2 + rng() % 8;
            for (size_t i = 0; i < len; ++i) s.push_back(static_cast<char>('a' + rng() % 26));
            s += word % 5 == 0 ? ", " : " ";
        }
        s.resize(kMiB);
        return s;
    }();
    return text;
}

// 1 MiB of "a" against 1,000 "a" then "b": a naive search compares ~1,000
// bytes at every position.
const std::string& MakeAdversarialText() {
    static const std::string text(kMiB, 'a');
    return text;
}
const std::string& MakeAdversarialSeparator() {
    static const std::string sep = std::string(1000, 'a') + "b";
    return sep;
}

std::vector<std::string> FindSplit(const std::string& text, const std::string& sep) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t pos; (pos = text.find(sep, start)) != std::string::npos; start = pos + sep.size()) {
        pieces.emplace_back(text, start, pos - start);
    }
    if (start < text.size()) pieces.emplace_back(text, start);
    return pieces;
}

void SplitKmpCase(benchmark::State& state, const std::string& text, const std::string& sep) {
    for (auto _ : state) {
        std::vector<std::string> pieces;
        velmor_lic::Split_KMP(sep, text, pieces);
        benchmark::DoNotOptimize(pieces.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void FindSplitCase(benchmark::State& state, const std::string& text, const std::string& sep) {
    for (auto _ : state) {
        std::vector<std::string> pieces = FindSplit(text, sep);
        benchmark::DoNotOptimize(pieces.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_SplitKmpWords(benchmark::State& state) { SplitKmpCase(state, MakeWords(), ", "); }
void BM_FindSplitWords(benchmark::State& state) { FindSplitCase(state, MakeWords(), ", "); }
BENCHMARK(BM_SplitKmpWords);
BENCHMARK(BM_FindSplitWords);

void BM_SplitKmpAdversarial(benchmark::State& state) {
    SplitKmpCase(state, MakeAdversarialText(), MakeAdversarialSeparator());
}
void BM_FindSplitAdversarial(benchmark::State& state) {
    FindSplitCase(state, MakeAdversarialText(), MakeAdversarialSeparator());
}
BENCHMARK(BM_SplitKmpAdversarial);
BENCHMARK(BM_FindSplitAdversarial);

void BM_TokenizeSpace(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::string> pieces = velmor_lic::Tokenize(MakeWords(), " ");
        benchmark::DoNotOptimize(pieces.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void BM_FindSplitSpace(benchmark::State& state) { FindSplitCase(state, MakeWords(), " "); }
BENCHMARK(BM_TokenizeSpace);
BENCHMARK(BM_FindSplitSpace);

}  // namespace

BENCHMARK_MAIN();
