// Internals of the identity probes, shared with their unit tests only; not
// part of the library's public header.
#pragma once

#include <cstddef>
#include <cstring>
#include <map>
#include <string>

namespace velmor_lic {

// Copy of `text` without leading white space and without trailing white space
// or NUL bytes. White space is that of the "C" locale; leading NULs and bytes
// of 0x80 and above are kept. Never fails; "" when nothing is left.
std::string trim_copy(const std::string& text);

namespace detail {

// What CPUID leaves in its four registers.
struct CpuidRegs {
    unsigned int eax, ebx, ecx, edx;
};
static_assert(sizeof(CpuidRegs) == 16, "a brand leaf gives 16 bytes");

// get_cpu_brand over `cpuid`, a callable giving the CpuidRegs of a leaf: the
// instruction itself in the library, a fake CPU in tests. "NA" when leaf
// 0x80000004 returns 0 in EAX; otherwise leaves 0x80000002 to 0x80000004 as
// a NUL-terminated text, trimmed, where a leaf above the highest extended
// leaf (EAX of 0x80000000) is declined and gives 16 NUL bytes. Each leaf is
// asked once: on a VM every CPUID traps to the hypervisor.
template <typename Cpuid>
std::string cpu_brand_from(Cpuid&& cpuid) {
    // Deliberately the EAX of leaf 0x80000004 itself (brand bytes 33 to 36),
    // not the highest extended leaf: a brand of 32 bytes or less reads "NA".
    const CpuidRegs last = cpuid(0x80000004u);
    if (last.eax == 0) return "NA";
    // __get_cpuid's own test per leaf, with the range's highest leaf read once.
    const unsigned int highest = cpuid(0x80000000u).eax;
    char brand[64] = {};
    for (size_t i = 0; i < 3; ++i) {
        const unsigned int leaf = 0x80000002u + static_cast<unsigned int>(i);
        if (highest == 0 || highest < leaf) continue;  // declined: 16 bytes stay zero
        const CpuidRegs regs = leaf == 0x80000004u ? last : cpuid(leaf);
        std::memcpy(brand + 16 * i, &regs, sizeof regs);
    }
    return trim_copy(std::string(brand));
}

// The sysfs probes with every path read under `root` instead of "/": an empty
// root gives exactly the public probe, paths in messages included.
std::string get_bios_info_at(const std::string& root);
int get_disk_id_at(const std::string& root, std::map<std::string, std::string>& devices);

}  // namespace detail
}  // namespace velmor_lic
