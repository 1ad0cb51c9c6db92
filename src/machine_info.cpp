// machine_info: prints the machine's hardware identity as a three-line report.
//
//   cpu_id:<vendor>-<brand>
//   bios_info:<firmware modalias>
//   device_infos:[{"name":"<dev>","serial":"<serial>"},...]   (not with ignore_scan_blk)
//
// Values are printed as C strings (up to their first NUL byte), unescaped.
// Probe failures appear on stderr only and leave the exit status 0; a report
// that cannot be delivered whole exits 1 with one line on stderr.
#include "lic_func.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

// Only the exact word, as the one argument, skips the disk scan.
bool skip_disk_scan(int argc, char* argv[]) { return argc == 2 && std::strcmp(argv[1], "ignore_scan_blk") == 0; }

// Values go out as C strings would: up to their first NUL byte.
void append_text(std::string& report, const std::string& value) { report.append(value.c_str()); }

void append_device_line(std::string& report, const std::map<std::string, std::string>& devices) {
    report.append("device_infos:[");
    const size_t last = devices.size() - 1;
    size_t index = 0;
    for (const auto& device : devices) {
        report.append("{\"name\":\"");
        append_text(report, device.first);
        report.append("\",\"serial\":\"");
        append_text(report, device.second);
        report.append(index == last ? "\"}" : "\"},");
        ++index;
    }
    report.append("]\n");
}

// The whole report in one write where the kernel takes it: a pipe or a file
// sees it at once, and no stdio buffer sizes it in pieces. Then standard
// output is closed, which is where a file system may report a deferred
// error. 0, or the errno of the step that failed.
int write_report(const std::string& report) {
    size_t done = 0;
    while (done < report.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, report.data() + done, report.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;  // GCOVR_EXCL_LINE: write(2) returns 0 only for a count of 0
        done += static_cast<size_t>(n);
    }
    // After EINTR the descriptor is closed all the same, the data written.
    return ::close(STDOUT_FILENO) == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool skip = skip_disk_scan(argc, argv);

    const std::string brand = velmor_lic::get_cpu_brand();
    const std::string cpu_id = velmor_lic::get_cpu_vendor() + "-" + brand;
    const std::string bios_info = velmor_lic::get_bios_info();

    std::map<std::string, std::string> devices;
    // A scan that stopped early still reports what it found.
    if (!skip) velmor_lic::get_disk_id(devices);

    std::string report = "cpu_id:";
    append_text(report, cpu_id);
    report.append("\nbios_info:");
    append_text(report, bios_info);
    report.append("\n");
    if (!skip) append_device_line(report, devices);
    // A script that stores the identity must not keep an empty file as a
    // good one: a report not delivered whole is a failure.
    const int failed = write_report(report);
    if (failed != 0) {
        std::fprintf(stderr, "write report failed: [%d],%s\n", failed, std::strerror(failed));
        return 1;
    }
    return 0;
}
