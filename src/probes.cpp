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
    return detail::cpu_brand_from([](unsigned int leaf) {
        detail::CpuidRegs regs;
        __cpuid(leaf, regs.eax, regs.ebx, regs.ecx, regs.edx);
        return regs;
    });
}

namespace {
bool is_c_locale_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

std::string trim_copy(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && is_c_locale_space(text[first])) ++first;
    size_t end = text.size();
    while (end > first && (text[end - 1] == '\0' || is_c_locale_space(text[end - 1]))) --end;
    return text.substr(first, end - first);
}

// ---- Sysfs identity probes -------------------------------------------------
//
// The scan costs three system calls a disk (open, read, close), all relative
// to the open /sys/block: the device link is looked at only when the serial
// does not open, and an attribute is read without sizing it first.
//
// The readers below report a failure as its errno and never throw for one:
// a missing file is the common case on VMs and containers (no modalias),
// and the first exception a static binary throws costs more than the whole
// report. Only a failed allocation throws (std::bad_alloc, std::length_error);
// the probes catch it, and get_file_contents turns errno into its exception.

namespace {

constexpr const char kModaliasPath[] = "/sys/class/dmi/id/modalias";
constexpr const char kBlockDir[] = "/sys/block";
// A sysfs attribute holds at most a page: one read of this size takes it whole.
constexpr size_t kAttributeChunk = 8192;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using ScopedDir = std::unique_ptr<DIR, DirCloser>;

// The end offset of an open file in `size`; 0 or the errno of the failure.
// A directory opens but cannot be read, and its end offset can be huge:
// refused before a buffer is sized by it.
int file_size(int fd, off_t& size) {
    struct stat status;
    if (::fstat(fd, &status) != 0) return errno;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    // A regular file ends at its size (sysfs attributes too): saves a seek.
    if (S_ISREG(status.st_mode)) {
        size = status.st_size;
        return 0;
    }
    size = ::lseek(fd, 0, SEEK_END);
    return size < 0 ? errno : 0;
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

// The file's size (or `limit`, if smaller and not 0) in bytes from offset 0
// into `contents`, what does not arrive staying NUL; 0 or the errno of the
// failure, `contents` then unspecified.
int read_sized(int fd, uint64_t limit, std::string& contents) {
    off_t size = 0;
    if (const int err = file_size(fd, size)) return err;
    uint64_t length = static_cast<uint64_t>(size);
    if (limit != 0 && limit < length) length = limit;
    // Sysfs reports a size beyond the text: the rest stays NUL.
    contents.assign(length, '\0');
    read_from_start(fd, &contents[0], length);
    return 0;
}

// The text of an attribute into `text`, equal after trim_copy to read_sized's
// result; 0 or the errno of the failure. A read shorter than asked has taken
// a regular file (sysfs, tmpfs) whole, and read_sized would only add the NUL
// tail that trimming removes again. A full read, or one that fails (a
// directory, say), goes the sized way, which also gives every error its
// usual errno.
int read_attribute(int fd, std::string& text) {
    char chunk[kAttributeChunk];
    ssize_t n;
    do {
        n = ::read(fd, chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && static_cast<size_t>(n) < sizeof chunk) {
        text.assign(chunk, static_cast<size_t>(n));
        return 0;
    }
    return read_sized(fd, 0, text);
}

// The trimmed text of the open attribute `fd` into `text`; 0 or the errno.
int read_trimmed(int fd, std::string& text) {
    if (const int err = read_attribute(fd, text)) return err;
    text = trim_copy(text);
    return 0;
}

// The same for the attribute at `path` (relative to `dir_fd`, or absolute);
// 0 or the errno of the open or the read.
int read_trimmed_attribute(int dir_fd, const char* path, std::string& text) {
    const detail::UniqueFd file(detail::OpenAtRetrying(dir_fd, path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return errno;
    return read_trimmed(file.get(), text);
}

void print_serial_failure(const std::string& path, const char* reason) {
    std::fprintf(stderr, "read device serial: %s failed: %s\n", path.c_str(), reason);
}

void print_bios_failure(const char* reason) { std::fprintf(stderr, "get bios info failed: %s\n", reason); }

// The trimmed serial of disk `name`, read relative to /sys/block (`block_fd`,
// named `block_dir` in messages). Sets `skip` for an entry without a device
// link; otherwise "" after a failure (with its message, when the serial
// could not be read, none when it was blank).
std::string read_disk_serial(int block_fd, const std::string& block_dir, const std::string& name, bool& skip) {
    skip = false;
    const std::string device_rel = name + "/device";
    const detail::UniqueFd serial(
        detail::OpenAtRetrying(block_fd, (device_rel + "/serial").c_str(), O_RDONLY | O_CLOEXEC));
    if (!serial.valid()) {
        const int open_err = errno;
        // Only now tell an entry without a device from a device without a serial.
        struct stat status;
        if (::fstatat(block_fd, device_rel.c_str(), &status, 0) != 0) {
            const int err = errno;
            if (err == ENOENT) {  // loop, ram, dm-*: no backing device
                skip = true;
                return std::string();
            }
            std::fprintf(stderr, "get device: %s/%s state failed: [%d],%s\n", block_dir.c_str(), device_rel.c_str(),
                         err, std::strerror(err));
            return std::string();
        }
        print_serial_failure(block_dir + "/" + device_rel + "/serial", std::strerror(open_err));
        return std::string();
    }
    try {
        std::string text;
        if (const int err = read_trimmed(serial.get(), text)) {
            print_serial_failure(block_dir + "/" + device_rel + "/serial", std::strerror(err));
            return std::string();
        }
        return text;
    } catch (const std::exception& e) {  // allocation
        print_serial_failure(block_dir + "/" + device_rel + "/serial", e.what());
        return std::string();
    }
}

}  // namespace

std::string get_file_contents(const char* path, uint64_t limit) {
    const detail::UniqueFd file(detail::OpenRetrying(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) throw std::runtime_error(std::strerror(errno));
    std::string contents;
    if (const int err = read_sized(file.get(), limit, contents)) throw std::runtime_error(std::strerror(err));
    return contents;
}

std::string get_device_serial(const std::string& path) {
    try {
        std::string serial;
        if (const int err = read_trimmed_attribute(AT_FDCWD, path.c_str(), serial)) {
            print_serial_failure(path, std::strerror(err));
            return std::string();
        }
        return serial;
    } catch (const std::exception& e) {  // allocation
        print_serial_failure(path, e.what());
        return std::string();
    }
}

std::string get_bios_info() { return detail::get_bios_info_at(std::string()); }

int get_disk_id(std::map<std::string, std::string>& devices) { return detail::get_disk_id_at(std::string(), devices); }

namespace detail {

std::string get_bios_info_at(const std::string& root) {
    try {
        std::string modalias;
        if (const int err = read_trimmed_attribute(AT_FDCWD, (root + kModaliasPath).c_str(), modalias)) {
            print_bios_failure(std::strerror(err));
            return std::string();
        }
        return modalias;
    } catch (const std::exception& e) {  // allocation
        print_bios_failure(e.what());
        return std::string();
    }
}

int get_disk_id_at(const std::string& root, std::map<std::string, std::string>& devices) {
    const std::string block_dir = root + kBlockDir;
    const ScopedDir dir(::opendir(block_dir.c_str()));
    if (!dir) {
        const int err = errno;
        std::fprintf(stderr, "open sys block: %s failed: [%d],%s\n", block_dir.c_str(), err, std::strerror(err));
        return 1;
    }
    const int block_fd = ::dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) return 0;
            // A listing cut short is not a whole scan.
            const int err = errno;
            std::fprintf(stderr, "read sys block: %s failed: [%d],%s\n", block_dir.c_str(), err, std::strerror(err));
            return 1;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;

        bool skip = false;
        std::string serial = read_disk_serial(block_fd, block_dir, name, skip);
        if (skip) continue;
        if (serial.empty()) return 1;
        devices[name] = std::move(serial);
    }
}

}  // namespace detail

}  // namespace velmor_lic
