#include "lic_func.h"

#include <cpuid.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/tokenizer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "popen_cmd.h"
#include "probe_internal.h"
#include "runner_detail.h"

namespace velmor_lic {

namespace detail {
void string_sprintf_failed() {
    // Spelled like an assertion so the message reads the same in every build type.
    std::fprintf(stderr, "string_sprintf: Assertion `length >= 0' failed.\n");
    std::abort();
}
}  // namespace detail

// ---- CPU identification ----------------------------------------------------

std::string CPUVendorID::toString() const {
    std::string text(12, '\0');
    std::memcpy(&text[0], &ebx, sizeof ebx);
    std::memcpy(&text[4], &edx, sizeof edx);
    std::memcpy(&text[8], &ecx, sizeof ecx);
    return text;
}

std::string get_cpu_vendor() {
    // What __get_cpuid(0) gives, with one CPUID instead of two (each one traps
    // to the hypervisor on a VM): leaf 0's EAX is the highest basic leaf, and
    // a highest leaf of 0 declines, leaving twelve NUL bytes.
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    if (eax == 0) ebx = edx = ecx = 0;
    return CPUVendorID{ebx, edx, ecx}.toString();
}

std::string get_cpu_brand() {
    // Deliberately the EAX of leaf 0x80000004 itself (brand bytes 33 to 36),
    // not the highest extended leaf: a brand of 32 bytes or less reads "NA".
    if (__get_cpuid_max(0x80000004, nullptr) == 0) return "NA";

    // __get_cpuid's own test per leaf, with the range's highest leaf read once.
    const unsigned int highest = __get_cpuid_max(0x80000000, nullptr);
    char brand[64] = {};
    for (size_t i = 0; i < 3; ++i) {
        const unsigned int leaf = 0x80000002 + static_cast<unsigned int>(i);
        if (highest == 0 || highest < leaf) continue;  // declined: 16 bytes stay zero
        unsigned int regs[4];
        __cpuid(leaf, regs[0], regs[1], regs[2], regs[3]);
        std::memcpy(brand + 16 * i, regs, sizeof regs);
    }
    return trim_copy(std::string(brand));
}

namespace {
bool is_c_locale_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
}  // namespace

std::string trim_copy(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && is_c_locale_space(text[first])) ++first;
    size_t end = text.size();
    while (end > first && (text[end - 1] == '\0' || is_c_locale_space(text[end - 1]))) --end;
    return text.substr(first, end - first);
}

// ---- Sysfs identity probes -------------------------------------------------

namespace {

constexpr const char kModaliasPath[] = "/sys/class/dmi/id/modalias";
constexpr const char kBlockDir[] = "/sys/block";

// Owns a descriptor; closes it on every way out, exceptions included.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using ScopedDir = std::unique_ptr<DIR, DirCloser>;

[[noreturn]] void throw_errno_text(int err) { throw std::runtime_error(std::strerror(err)); }

int open_for_reading(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The end offset of an open file; throws the system's text when there is none.
// A directory opens but cannot be read, and its end offset can be huge:
// refused before a buffer is sized by it.
off_t file_size(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0) throw_errno_text(errno);
    if (S_ISDIR(status.st_mode)) throw_errno_text(EISDIR);
    // A regular file ends at its size (sysfs attributes too): saves a seek.
    if (S_ISREG(status.st_mode)) return status.st_size;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) throw_errno_text(errno);
    return end;
}

// Fills `out` from offset 0 until `length` bytes, end of file or an error:
// a short read is not an error, the bytes not delivered stay as they were.
void read_from_start(int fd, char* out, uint64_t length) {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<uint64_t>(n);
    }
}

}  // namespace

std::string get_file_contents(const char* path, uint64_t limit) {
    const ScopedFd file(open_for_reading(path));
    if (file.get() < 0) throw_errno_text(errno);

    const off_t size = file_size(file.get());
    uint64_t length = static_cast<uint64_t>(size);
    if (limit != 0 && limit < length) length = limit;
    // Sysfs reports a size beyond the text: the rest stays NUL.
    std::string contents(length, '\0');
    read_from_start(file.get(), &contents[0], length);
    return contents;
}

std::string get_device_serial(const std::string& path) {
    try {
        return trim_copy(get_file_contents(path.c_str()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "read device serial: %s failed: %s\n", path.c_str(), e.what());
        return std::string();
    }
}

std::string get_bios_info() { return internal::get_bios_info_at(std::string()); }

int get_disk_id(std::map<std::string, std::string>& devices) {
    return internal::get_disk_id_at(std::string(), devices);
}

namespace internal {

std::string get_bios_info_at(const std::string& root) {
    try {
        return trim_copy(get_file_contents((root + kModaliasPath).c_str()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "get bios info failed: %s\n", e.what());
        return std::string();
    }
}

int get_disk_id_at(const std::string& root, std::map<std::string, std::string>& devices) {
    const std::string block_dir = root + kBlockDir;
    const ScopedDir dir(::opendir(block_dir.c_str()));
    if (!dir) {
        const int err = errno;
        std::fprintf(stderr, "open sys block: %s failed: [%d],%s\n", block_dir.c_str(), err,
                     std::strerror(err));
        return 1;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) return 0;
            // A listing cut short is not a whole scan.
            const int err = errno;
            std::fprintf(stderr, "read sys block: %s failed: [%d],%s\n", block_dir.c_str(), err,
                         std::strerror(err));
            return 1;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;

        std::string device_link = block_dir;
        device_link.append("/").append(name).append("/device");
        struct stat status;
        if (::stat(device_link.c_str(), &status) != 0) {
            const int err = errno;
            if (err == ENOENT) continue;  // loop, ram, dm-*: no backing device
            std::fprintf(stderr, "get device: %s state failed: [%d],%s\n", device_link.c_str(), err,
                         std::strerror(err));
            return 1;
        }
        std::string serial = get_device_serial(device_link + "/serial");
        if (serial.empty()) return 1;
        devices[name] = std::move(serial);
    }
}

}  // namespace internal

// ---- String utilities ------------------------------------------------------

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
    const boost::char_separator<char> separator(delim, nullptr, boost::drop_empty_tokens);
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
            ++i;
        }
    }
    if (start < n) result.emplace_back(t + start, n - start);
}

// ---- Command execution -----------------------------------------------------

namespace {

// True once the child's end is known: its exit code or signal number in
// `retcode` (0 for a clean exit), -1 for a pid that is not positive, -errno
// when waitpid failed (reason in `errinfo`, 1024 bytes). False while it runs.
bool CheckPidStatus(int pid, int& retcode, char* errinfo) {
    if (pid <= 0) {
        // Cut to the caller's 1024 bytes by contract.
        (void)std::snprintf(errinfo, 1024, "pid: %d is not Positive", pid);
        retcode = -1;
        return true;
    }
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == 0) return false;
    if (ended < 0) {
        const int err = errno;
        if (err == EINTR) return false;
        (void)std::snprintf(errinfo, 1024, "waitpid %d failed: %d,%s", pid, err, std::strerror(err));
        retcode = -err;
        return true;
    }
    if (WIFEXITED(status)) {
        retcode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        retcode = WTERMSIG(status);
    } else {
        retcode = status;
    }
    return true;
}

// Keeps the first 1024 bytes a command writes and drops the rest, reading
// while the command runs so that it never blocks on a full pipe.
class OutputDrain {
public:
    explicit OutputDrain(int fd) : fd_(fd), open_(fd >= 0) {}

    // Waits up to a second for output and takes it. Once the pipe is done
    // (end of file or unreadable) pauses instead, growing toward a second,
    // so that a command that closed its output costs no CPU while it runs.
    void WaitForMore() {
        if (open_) {
            pollfd ready{fd_, POLLIN, 0};
            const int n = ::poll(&ready, 1, kMaxWaitMs);
            if (n > 0) {
                ReadOnce();
                return;
            }
            if (n == 0 || errno == EINTR) return;
            open_ = false;
        }
        pause_us_ = pause_us_ == 0 ? kFirstPauseUs : std::min(pause_us_ * 2, kMaxWaitMs * 1000L);
        const timespec pause{pause_us_ / 1000000, (pause_us_ % 1000000) * 1000};
        ::nanosleep(&pause, nullptr);
    }

    // Takes what is already in the pipe, up to the kept limit, without
    // waiting for processes the command may have left behind.
    void TakeRest() {
        while (open_ && count_ < sizeof(kept_)) {
            pollfd ready{fd_, POLLIN, 0};
            const int n = ::poll(&ready, 1, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            ReadOnce();
        }
    }

    // The kept bytes up to the first NUL among them.
    std::string Text() const { return std::string(kept_, ::strnlen(kept_, count_)); }

private:
    static constexpr int kMaxWaitMs = 1000;
    static constexpr long kFirstPauseUs = 200;

    void ReadOnce() {
        char chunk[16384];
        const ssize_t n = ::read(fd_, chunk, sizeof(chunk));
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN) open_ = false;
            return;
        }
        if (n == 0) {
            open_ = false;
            return;
        }
        const size_t take = std::min(static_cast<size_t>(n), sizeof(kept_) - count_);
        std::memcpy(kept_ + count_, chunk, take);
        count_ += take;
    }

    int fd_;
    bool open_;
    char kept_[1024] = {};
    size_t count_ = 0;
    long pause_us_ = 0;
};

}  // namespace

namespace detail {
bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo) { return CheckPidStatus(pid, retcode, errinfo); }
}  // namespace detail

bool ExecuteCmd(const std::string& cmd, std::string& err_msg) {
    // timeout 0: closing the runner never kills the command.
    KPopenCmd runner(0);
    if (!runner.OpenCmd(cmd.c_str(), "re2", true)) {
        err_msg = string_sprintf("open cmd %s failed: %s\n", cmd.c_str(), runner.getErr());
        return true;
    }
    const int pid = runner.GetChildPid();
    int retcode = 0;
    char err_info[1024] = {};
    OutputDrain output(runner.GetReadFd());
    while (!CheckPidStatus(pid, retcode, err_info)) output.WaitForMore();
    if (retcode > 0) output.TakeRest();
    // The child is collected (or cannot be): a second wait could only hit an
    // unrelated process that got its id since.
    runner.Close(true);

    if (retcode > 0) {
        err_msg = string_sprintf("execute cmd failed: [%d],%s", retcode, output.Text().c_str());
        return true;
    }
    if (retcode < 0) {
        err_msg = string_sprintf("get execute cmd state failed: [%d],%s", -retcode, err_info);
        return true;
    }
    return false;
}

}  // namespace velmor_lic
