// machine_info: prints the machine's hardware identity as a three-line report.
//
//   cpu_id:<vendor>-<brand>
//   bios_info:<firmware modalias>
//   device_infos:[{"name":"<dev>","serial":"<serial>"},...]   (not with ignore_scan_blk)
//
// Values are printed as C strings (up to their first NUL byte), unescaped.
// Probe failures appear on stderr only; the exit status is always 0.
#include "lic_func.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

namespace {

// Only the exact word, as the one argument, skips the disk scan.
bool skip_disk_scan(int argc, char* argv[]) {
    return argc == 2 && std::strcmp(argv[1], "ignore_scan_blk") == 0;
}

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
// sees it at once, and no stdio buffer sizes it in pieces. A failed write has
// no remedy (the exit status is 0 by contract) and is dropped.
void write_report(const std::string& report) {
    size_t done = 0;
    while (done < report.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, report.data() + done, report.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
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
    write_report(report);
    return 0;
}
