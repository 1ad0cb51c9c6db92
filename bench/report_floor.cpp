// The floor for a whole run of machine_info: the same report (stdout and
// stderr, byte for byte, on the trees report_bench.sh lays out) from a static
// program that makes the fewest system calls it can. No library, no heap,
// no exception, no stdio: CPUID, one open and read of the modalias, the
// block directory listed with getdents64, per disk an openat, a read and a
// close (and a look at the device link only when the serial does not open),
// one write per message and one for the report.
#include <cpuid.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kAttribute = 8192;
constexpr size_t kMaxDisks = 4096;
char g_arena[1 << 22];  // names and serials of the disks found
size_t g_used = 0;
char g_report[1 << 22];

struct Text {
    const char* data;
    size_t size;
};
struct Disk {
    Text name, serial;
};
Disk g_disks[kMaxDisks];
size_t g_disk_count = 0;

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

Text Trimmed(const char* data, size_t size) {
    size_t first = 0;
    while (first < size && IsSpace(static_cast<unsigned char>(data[first]))) ++first;
    while (size > first && (data[size - 1] == '\0' || IsSpace(static_cast<unsigned char>(data[size - 1])))) --size;
    return {data + first, size - first};
}

// Printed as the tool prints its values: up to the first NUL.
void Append(char*& out, Text text) {
    const void* nul = std::memchr(text.data, '\0', text.size);
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text.data) : text.size;
    std::memcpy(out, text.data, n);
    out += n;
}
void Append(char*& out, const char* text) { Append(out, Text{text, std::strlen(text)}); }

__attribute__((format(printf, 1, 2))) void Message(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0) (void)!::write(STDERR_FILENO, line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

// Reads an open attribute into the arena; false on a read error.
bool ReadInto(int fd, Text& out) {
    const ssize_t n = ::read(fd, g_arena + g_used, kAttribute);
    ::close(fd);
    if (n < 0) return false;
    out = Trimmed(g_arena + g_used, static_cast<size_t>(n));
    g_used += static_cast<size_t>(n);
    return true;
}

void Scan() {
    const int dir = ::open("/sys/block", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        const int err = errno;
        Message("open sys block: /sys/block failed: [%d],%s\n", err, std::strerror(err));
        return;
    }
    alignas(8) char entries[32768];
    for (;;) {
        const ssize_t got = ::getdents64(dir, entries, sizeof entries);
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            char rel[512];
            std::snprintf(rel, sizeof rel, "%s/device/serial", name);
            const int fd = ::openat(dir, rel, O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                const int open_err = errno;
                rel[std::strlen(name) + 7] = '\0';  // name/device
                struct stat status;
                if (::fstatat(dir, rel, &status, 0) != 0) {
                    const int err = errno;
                    if (err == ENOENT) continue;
                    Message("get device: /sys/block/%s state failed: [%d],%s\n", rel, err, std::strerror(err));
                    return;
                }
                Message("read device serial: /sys/block/%s/serial failed: %s\n", rel, std::strerror(open_err));
                return;
            }
            Text serial;
            if (!ReadInto(fd, serial)) {
                Message("read device serial: /sys/block/%s failed: %s\n", rel, std::strerror(errno));
                return;
            }
            if (serial.size == 0 || g_disk_count == kMaxDisks) return;
            const size_t name_size = std::strlen(name);
            std::memcpy(g_arena + g_used, name, name_size);
            g_disks[g_disk_count++] = {{g_arena + g_used, name_size}, serial};
            g_used += name_size;
        }
    }
}

bool ByName(const Disk& a, const Disk& b) {
    const int c = std::memcmp(a.name.data, b.name.data, std::min(a.name.size, b.name.size));
    return c != 0 ? c < 0 : a.name.size < b.name.size;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool skip = argc == 2 && std::strcmp(argv[1], "ignore_scan_blk") == 0;

    unsigned int regs[12] = {};
    char brand[49] = {};
    __cpuid(0x80000004, regs[8], regs[9], regs[10], regs[11]);
    const bool has_brand = regs[8] != 0;
    if (has_brand) {
        const unsigned int highest = __get_cpuid_max(0x80000000, nullptr);
        if (highest >= 0x80000002) __cpuid(0x80000002, regs[0], regs[1], regs[2], regs[3]);
        if (highest >= 0x80000003) __cpuid(0x80000003, regs[4], regs[5], regs[6], regs[7]);
        if (highest < 0x80000004) regs[8] = regs[9] = regs[10] = regs[11] = 0;
        std::memcpy(brand, regs, 48);
    }
    unsigned int eax, vendor[3];
    __cpuid(0, eax, vendor[0], vendor[2], vendor[1]);
    if (eax == 0) vendor[0] = vendor[1] = vendor[2] = 0;

    Text bios{"", 0};
    const int modalias = ::open("/sys/class/dmi/id/modalias", O_RDONLY | O_CLOEXEC);
    if (modalias < 0 || !ReadInto(modalias, bios)) Message("get bios info failed: %s\n", std::strerror(errno));
    if (!skip) Scan();

    // Vendor, "-" and brand go out as one value: up to its first NUL.
    char cpu_id[64];
    std::memcpy(cpu_id, vendor, 12);
    cpu_id[12] = '-';
    const Text brand_text = has_brand ? Trimmed(brand, std::strlen(brand)) : Text{"NA", 2};
    std::memcpy(cpu_id + 13, brand_text.data, brand_text.size);

    char* out = g_report;
    Append(out, "cpu_id:");
    Append(out, Text{cpu_id, 13 + brand_text.size});
    Append(out, "\nbios_info:");
    Append(out, bios);
    Append(out, "\n");
    if (!skip) {
        std::sort(g_disks, g_disks + g_disk_count, ByName);
        Append(out, "device_infos:[");
        for (size_t i = 0; i < g_disk_count; ++i) {
            Append(out, "{\"name\":\"");
            Append(out, g_disks[i].name);
            Append(out, "\",\"serial\":\"");
            Append(out, g_disks[i].serial);
            Append(out, i + 1 == g_disk_count ? "\"}" : "\"},");
        }
        Append(out, "]\n");
    }
    (void)!::write(STDOUT_FILENO, g_report, static_cast<size_t>(out - g_report));
    return 0;
}
