// Text utilities: trimming by a set, tokenising, splitting at separators and
// the sizing check of string_sprintf.
#include <boost/tokenizer.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lic_func.h"

namespace velmor_lic {

namespace detail {
// GCOVR_EXCL_START: reached only when vsnprintf fails on a sized pass, and it ends the process
void string_sprintf_failed() {
    // Spelled like an assertion so the message reads the same in every build type.
    std::fprintf(stderr, "string_sprintf: Assertion `length >= 0' failed.\n");
    std::abort();
}
// GCOVR_EXCL_STOP
}  // namespace detail

// ---- String utilities ------------------------------------------------------

std::string string_sprintf(const char* format) {
    std::string text;
    for (const char* p = format; *p != '\0'; ++p) {
        text.push_back(*p);
        if (p[0] == '%' && p[1] == '%') ++p;
    }
    return text;
}

std::string Trim(const std::string& from, const std::string& chars) {
    const size_t start = from.find_first_not_of(chars);
    if (start == std::string::npos) return std::string();
    const size_t end = from.find_last_not_of(chars);
    return from.substr(start, end - start + 1);
}

std::vector<std::string> Tokenize(const std::string& str, const char* delim) {
    std::vector<std::string> tokens;
    if (std::strlen(delim) > 1) {
        Split_KMP(delim, str, tokens);
        return tokens;
    }
    // No kept delimiters: "", not a null pointer, which not every Boost release checks for.
    const boost::char_separator<char> separator(delim, "", boost::drop_empty_tokens);
    const boost::tokenizer<boost::char_separator<char>> tokenizer(str, separator);
    for (const std::string& token : tokenizer) tokens.push_back(token);
    return tokens;
}

void lps_func(const std::string& txt, std::vector<int>& Lps) {
    // A table too short for the separator would be written past its end.
    if (Lps.size() < txt.size() || Lps.empty()) Lps.resize(txt.empty() ? 1 : txt.size());
    Lps[0] = 0;
    int len = 0;
    const int m = static_cast<int>(txt.size());
    int i = 1;
    while (i < m) {
        if (txt[i] == txt[len]) {
            Lps[i++] = ++len;
        } else if (len != 0) {
            len = Lps[len - 1];
        } else {
            Lps[i++] = 0;
        }
    }
}

// The separator is taken by value: callers keep their own string untouched.
// cppcheck-suppress passedByValue
void Split_KMP(std::string pattern,  // NOLINT(performance-unnecessary-value-param)
               const std::string& text, std::vector<std::string>& result) {
    const size_t n = text.size();
    const size_t m = pattern.size();
    // No separator can occur: the text is one piece (or none when empty).
    if (m == 0 || m > n) {
        if (n > 0) result.push_back(text);
        return;
    }
    std::vector<int> Lps(m, 0);
    lps_func(pattern, Lps);

    const char* const t = text.data();
    const char* const p = pattern.data();
    size_t start = 0;
    size_t i = 0;
    size_t j = 0;
    while (i < n) {
        if (j == 0 && t[i] != p[0]) {
            // Nothing matched yet: jump straight to the next candidate first byte.
            const void* next = std::memchr(t + i, p[0], n - i);
            if (next == nullptr) break;
            i = static_cast<size_t>(static_cast<const char*>(next) - t);
        }
        if (p[j] == t[i]) {
            ++i;
            ++j;
            if (j == m) {
                const size_t sp = i - m;
                result.emplace_back(t + start, sp - start);
                start = i;
                j = 0;
            }
        } else if (j != 0) {
            const size_t k = static_cast<size_t>(Lps[j - 1]);
            if (k + 1 == j && t[i] == p[k]) {
                // The matched prefix is a run of one byte and the text goes on
                // with it: falling back one step and matching it again keeps the
                // same state, so take the whole run at once.
                const char run = p[k];
                do {
                    ++i;
                } while (i < n && t[i] == run);
                continue;
            }
            j = k;
        } else {
            ++i;  // GCOVR_EXCL_LINE: with nothing matched, the memchr above put p[0] at i
        }
    }
    if (start < n) result.emplace_back(t + start, n - start);
}

}  // namespace velmor_lic
