// machine_info: prints the machine's hardware identity as a three-line report.
//
//   cpu_id:<vendor>-<brand>
//   bios_info:<firmware modalias>
//   device_infos:[{"name":"<dev>","serial":"<serial>"},...]   (not with ignore_scan_blk)
//
// Values are printed as C strings (up to their first NUL byte), unescaped.
// Probe failures appear on stderr only; the exit status is always 0.
#include "lic_func.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

// Only the exact word, as the one argument, skips the disk scan.
bool skip_disk_scan(int argc, char* argv[]) {
    return argc == 2 && std::strcmp(argv[1], "ignore_scan_blk") == 0;
}

void print_device_line(const std::map<std::string, std::string>& devices) {
    std::fputs("device_infos:[", stdout);
    const size_t last = devices.size() - 1;
    size_t index = 0;
    for (const auto& device : devices) {
        std::printf("{\"name\":\"%s\",\"serial\":\"%s\"}%s", device.first.c_str(),
                    device.second.c_str(), index == last ? "" : ",");
        ++index;
    }
    std::fputs("]\n", stdout);
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

    std::printf("cpu_id:%s\n", cpu_id.c_str());
    std::printf("bios_info:%s\n", bios_info.c_str());
    if (!skip) print_device_line(devices);
    return 0;
}
