// Hardware identity probes: CPUID, the firmware modalias and the block-device
// serials under sysfs, and the trimming rule they share. Uses nothing else of
// the library, so the report links only this unit.
#include <cpuid.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "eintr_retry.h"
#include "lic_func.h"
#include "probe_internal.h"
#include "unique_fd.h"

namespace velmor_lic {

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

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using ScopedDir = std::unique_ptr<DIR, DirCloser>;

[[noreturn]] void throw_errno_text(int err) { throw std::runtime_error(std::strerror(err)); }

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
    const detail::UniqueFd file(detail::OpenRetrying(path, O_RDONLY | O_CLOEXEC));
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

std::string get_bios_info() { return detail::get_bios_info_at(std::string()); }

int get_disk_id(std::map<std::string, std::string>& devices) {
    return detail::get_disk_id_at(std::string(), devices);
}

namespace detail {

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

}  // namespace detail

}  // namespace velmor_lic
