// Differential fuzzer for Tokenize, Split_KMP and lps_func.
//
// Input: byte 0 picks the separator length (0..31), the next bytes are the
// separator, the rest is the text. Every piece list must equal that of a
// plain reference: std::string::find for separators of two or more bytes,
// maximal runs of non-separator bytes for one byte or none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lic_func.h"

namespace {

using Pieces = std::vector<std::string>;

// Leftmost, non-overlapping occurrences; no piece after a trailing separator.
Pieces FindSplit(const std::string& text, const std::string& sep) {
    Pieces pieces;
    size_t start = 0;
    for (size_t at = text.find(sep); at != std::string::npos; at = text.find(sep, start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

// Maximal runs of bytes that are not in `delims` (at most one byte here).
Pieces RunSplit(const std::string& text, const std::string& delims) {
    Pieces pieces;
    std::string run;
    for (const char c : text) {
        if (delims.find(c) != std::string::npos) {
            if (!run.empty()) pieces.push_back(run);
            run.clear();
        } else {
            run += c;
        }
    }
    if (!run.empty()) pieces.push_back(run);
    return pieces;
}

// The longest proper prefix of sep[0..i] that is also its suffix, by brute force.
std::vector<int> NaiveFailureTable(const std::string& sep) {
    std::vector<int> table(sep.size(), 0);
    for (size_t i = 0; i < sep.size(); ++i) {
        for (size_t len = i; len > 0; --len) {
            if (sep.compare(0, len, sep, i + 1 - len, len) == 0) {
                table[i] = static_cast<int>(len);
                break;
            }
        }
    }
    return table;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t sep_len = std::min<size_t>(data[0] % 32, size - 1);
    const std::string sep(reinterpret_cast<const char*>(data + 1), sep_len);
    const std::string text(reinterpret_cast<const char*>(data + 1 + sep_len), size - 1 - sep_len);

    // Split_KMP takes any separator of one byte or more, NUL bytes included,
    // and appends behind what the list already holds.
    if (!sep.empty()) {
        Pieces got{"kept"};
        velmor_lic::Split_KMP(sep, text, got);
        Pieces want{"kept"};
        const Pieces found = FindSplit(text, sep);
        want.insert(want.end(), found.begin(), found.end());
        Check(got == want);
    }

    // Tokenize sees the separator as a C string: it ends at its first NUL.
    const std::string delim = sep.substr(0, sep.find('\0'));
    const Pieces got = velmor_lic::Tokenize(text, delim.c_str());
    Check(got == (delim.size() >= 2 ? FindSplit(text, delim) : RunSplit(text, delim)));

    if (!sep.empty() && sep.size() <= 64) {
        std::vector<int> table(sep.size(), -7);
        velmor_lic::lps_func(sep, table);
        Check(table == NaiveFailureTable(sep));
    }
    return 0;
}
