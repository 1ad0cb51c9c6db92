// Differential fuzzer for the probes' trim_copy and the library's Trim.
//
// trim_copy gets the whole input. For Trim, byte 0 gives the size of the
// character set (0..15), the next bytes are the set, the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lic_func.h"
#include "probe_internal.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// White space of the "C" locale, spelled out rather than asking isspace.
bool IsCSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string ReferenceTrimCopy(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsCSpace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && (IsCSpace(static_cast<unsigned char>(text[end - 1])) || text[end - 1] == '\0')) --end;
    return text.substr(begin, end - begin);
}

std::string ReferenceTrim(const std::string& text, const std::string& set) {
    const auto in_set = [&set](char c) { return set.find(c) != std::string::npos; };
    size_t begin = 0, end = text.size();
    while (begin < end && in_set(text[begin])) ++begin;
    while (end > begin && in_set(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Check(velmor_lic::trim_copy(input) == ReferenceTrimCopy(input));

    if (size == 0) return 0;
    const size_t set_len = std::min<size_t>(data[0] % 16, size - 1);
    const std::string set = input.substr(1, set_len);
    const std::string text = input.substr(1 + set_len);
    Check(velmor_lic::Trim(text, set) == ReferenceTrim(text, set));
    return 0;
}
