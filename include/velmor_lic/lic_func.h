// Hardware identity probes, string utilities, the error-text holder and the
// run-a-command helper of the velmor_lic library.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The library is compiled with hidden visibility; what this header declares
// is its exported interface.
#pragma GCC visibility push(default)
namespace velmor_lic {

// ---------------------------------------------------------------------------
// CPU identification (CPUID). Never fails: an unsupported leaf 0 gives twelve
// NUL bytes, an unsupported brand gives "NA".
// ---------------------------------------------------------------------------

// EBX, EDX, ECX of CPUID leaf 0, in the order the vendor text is spelled.
struct CPUVendorID {
    uint32_t ebx;
    uint32_t edx;
    uint32_t ecx;

    // Always exactly 12 bytes, NUL bytes included.
    std::string toString() const;
};

std::string get_cpu_vendor();
std::string get_cpu_brand();

// ---------------------------------------------------------------------------
// Sysfs identity probes. Failures print one line on stderr and yield "".
// ---------------------------------------------------------------------------

// Reads up to `limit` bytes of the file (0: the whole file). Throws
// std::runtime_error with strerror(errno) when the file cannot be opened.
std::string get_file_contents(const char* path, uint64_t limit = 0);

std::string get_bios_info();
std::string get_device_serial(const std::string& path);

// Fills `devices` with block-device name -> serial. Returns 0 when the whole
// of /sys/block was scanned, 1 when the scan failed to start or stopped early;
// what was found before stopping stays in the map.
int get_disk_id(std::map<std::string, std::string>& devices);

// ---------------------------------------------------------------------------
// String utilities
// ---------------------------------------------------------------------------

// Texts are byte strings: any byte value, NUL included, compared as plain bytes.

// `from` without the leading and trailing bytes that occur in the set `chars`;
// "" when every byte is in the set. An empty set strips nothing.
std::string Trim(const std::string& from, const std::string& chars);

// Cuts `str` at `delim` (NUL-terminated, never null). A delimiter of one byte
// or none gives the maximal runs of other bytes (never an empty piece); a longer
// one gives the pieces of Split_KMP, empty leading and inner pieces included.
std::vector<std::string> Tokenize(const std::string& str, const char* delim);

// Appends to `result` the pieces of `text` between non-overlapping occurrences
// of `pattern`, found from the left; no piece after a trailing occurrence, none
// at all for an empty text. An empty `pattern` never matches: the whole text is
// one piece. Texts up to 2^31 - 1 bytes.
void Split_KMP(std::string pattern, const std::string& text, std::vector<std::string>& result);

// Fills the failure table of `txt`: entry i is the length of the longest proper
// prefix of txt[0..i] that is also its suffix; entry 0 is always written. A
// table shorter than max(1, txt.size()) entries is first enlarged to that size;
// entries beyond it are left as they were.
void lps_func(const std::string& txt, std::vector<int>& Lps);

namespace detail {
// Stops the process: a format whose expansion cannot be measured is a caller bug.
[[noreturn]] void string_sprintf_failed();
}  // namespace detail

// printf-style formatting into a string of the whole expansion, which ends at
// its first NUL. A format and arguments that snprintf rejects stop the process
// (in every build type).
template <typename... Args>
std::string string_sprintf(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (!(length >= 0)) detail::string_sprintf_failed();
    std::vector<char> scratch(static_cast<size_t>(length) + 1);
    // Sized by the first pass: this one writes the whole expansion.
    (void)std::snprintf(scratch.data(), scratch.size(), format, args...);
    return std::string(scratch.data());
}

// The same for a format without arguments: its text up to the first NUL,
// each "%%" read as "%", as printf reads such a format. Nothing else in it
// is a conversion, for there is nothing to convert: a user's text can be
// passed safely, and a literal compiles cleanly under -Wformat-security.
std::string string_sprintf(const char* format);

// ---------------------------------------------------------------------------
// Error-text holder: the text of an object's last failure, at most 1022 chars.
// ---------------------------------------------------------------------------

class ErrorBase {
public:
    ErrorBase() : errbuf_{} {}
    virtual ~ErrorBase() {}

    // Replaces the text; returns vsnprintf's count (the full, uncut length).
    int setErr(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, format);
        // 1023, not 1024: the last byte stays zero from construction on.
        const int n = std::vsnprintf(errbuf_, sizeof(errbuf_) - 1, format, ap);
        va_end(ap);
        return n;
    }

    char* getErr() { return errbuf_; }

private:
    char errbuf_[1024];
};

// ---------------------------------------------------------------------------
// Command execution
// ---------------------------------------------------------------------------

// Runs `cmd` through /bin/sh to its end. Returns true when it failed (could not
// start, exited non-zero, was killed, or its end could not be observed) and
// then sets `err_msg`; returns false on exit code 0, leaving `err_msg` as is.
// A shell reaped elsewhere (a SIGCHLD handler) gives "get execute cmd state
// failed: [10],..." at once; a process that took its id is neither waited
// for nor killed. Never throws: where even the text cannot be made (the
// heap refuses), true with `err_msg` as it was.
bool ExecuteCmd(const std::string& cmd, std::string& err_msg);

// ExecuteCmd with a deadline. A positive `timeout`: the shell leads a process
// group of its own, and when it has not ended `timeout` after the call
// began (monotonic clock), every process of that group is SIGKILLed, the
// shell is reaped and the result is true with "execute cmd timed out:
// [%lld ms],%s" (the timeout, then the first 1024 bytes of the output up to
// a NUL). Processes that left the group are not killed, and one that holds
// the output open does not delay the return. A command that ends in time
// gives exactly what the two-argument form gives. Zero or negative: no
// deadline, no group of its own, exactly the two-argument form.
bool ExecuteCmd(const std::string& cmd, std::string& err_msg, std::chrono::milliseconds timeout);

}  // namespace velmor_lic
#pragma GCC visibility pop
