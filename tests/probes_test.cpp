// The identity probes as library calls: trimming, file reading, CPUID texts,
// and the sysfs probes over fake trees through their root-directory seams.
#include "fake_sysfs.h"
#include "lic_func.h"
#include "probe_internal.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

// Every exception thrown in this program is allocated here first: counts them.
static int g_exceptions_thrown = 0;
extern "C" void* __cxa_allocate_exception(size_t size) noexcept {
    using Allocate = void* (*)(size_t) noexcept;
    static const auto real = reinterpret_cast<Allocate>(::dlsym(RTLD_NEXT, "__cxa_allocate_exception"));
    ++g_exceptions_thrown;
    return real(size);
}

namespace {

using velmor_lic::get_file_contents;
using velmor_lic::trim_copy;
using velmor_test::FakeSysfs;

std::string Bytes(const char* text, size_t n) { return std::string(text, n); }

TEST(TrimCopy, KeepsWhatTheTrimmingRulesKeep) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {Bytes("\0\0\0", 3), ""},  // all dropped from the back
        {"  ABC123 \n", "ABC123"},
        {"\t\n\v\f\r x \r\n\f\v\t", "x"},
        {"  Intel(R)  Core(TM)  ", "Intel(R)  Core(TM)"},  // inner spacing untouched
        {Bytes("\0\0AB", 4), Bytes("\0\0AB", 4)},          // leading NULs stay
        {Bytes(" \0 x", 4), Bytes("\0 x", 3)},
        {Bytes("A\0B", 3), Bytes("A\0B", 3)},
        {Bytes("x \0 \0\n\0", 7), "x"},
        {"\x85x\xA0", "\x85x\xA0"},  // bytes >= 0x80 are never white space
        {"\xFF \xFF", "\xFF \xFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        EXPECT_EQ(trim_copy(c.in), c.out);
    }
}

class GetFileContentsTest : public testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        tree_.WriteFile(name, bytes);
        return tree_.sys() + "/" + name;
    }
    FakeSysfs tree_;
};

TEST_F(GetFileContentsTest, LimitCutsTheResultAndZeroMeansWholeFile) {
    const std::string path = Write("f", "hello world");
    struct Case {
        uint64_t limit;
        std::string out;
    };
    const Case cases[] = {{0, "hello world"}, {1, "h"}, {5, "hello"}, {11, "hello world"}, {4096, "hello world"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(get_file_contents(path.c_str(), c.limit), c.out);
    }
}

TEST_F(GetFileContentsTest, EmptyFileGivesEmptyResult) { EXPECT_EQ(get_file_contents(Write("empty", "").c_str()), ""); }

TEST_F(GetFileContentsTest, ResultIsAsLongAsTheReportedSizeWithNulTail) {
    // A sparse tail reads as NULs, like a sysfs attribute's fixed size.
    const std::string path = Write("sized", "abc\n");
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    const std::string contents = get_file_contents(path.c_str());
    EXPECT_EQ(contents, "abc\n" + std::string(4092, '\0'));
    EXPECT_EQ(get_file_contents(path.c_str(), 6), Bytes("abc\n\0\0", 6));
}

TEST_F(GetFileContentsTest, SysfsAttributeShorterThanItsSizeLeavesNulTail) {
    const char* attribute = "/sys/kernel/cpu_byteorder";
    std::ifstream probe(attribute);
    std::string text;
    if (!std::getline(probe, text)) GTEST_SKIP() << attribute << " is not readable here";
    struct stat status;
    ASSERT_EQ(::stat(attribute, &status), 0);
    const std::string contents = get_file_contents(attribute);
    ASSERT_EQ(contents.size(), static_cast<size_t>(status.st_size));
    EXPECT_EQ(contents.substr(0, text.size() + 1), text + "\n");
    EXPECT_EQ(contents.find_first_not_of('\0', text.size() + 1), std::string::npos);
}

TEST_F(GetFileContentsTest, FailuresThrowTheSystemErrorText) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    ASSERT_EQ(::write(pipe_fds[1], "abc", 3), 3);
    struct Case {
        std::string path;
        int err;
    };
    const Case cases[] = {
        {tree_.sys() + "/missing", ENOENT},
        {tree_.sys() + "/missing/dir/file", ENOENT},
        {Write("plain", "x") + "/below", ENOTDIR},
        {tree_.sys(), EISDIR},                                     // opens, but is no file to read
        {"/proc/self/fd/" + std::to_string(pipe_fds[0]), ESPIPE},  // has no size
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            get_file_contents(c.path.c_str());
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), std::strerror(c.err));
        }
    }
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(CPUVendorID, ToStringIsTwelveBytesInRegisterOrder) {
    struct Case {
        velmor_lic::CPUVendorID id;
        std::string out;
    };
    const Case cases[] = {
        {{0x756e6547, 0x49656e69, 0x6c65746e}, "GenuineIntel"},
        {{0x68747541, 0x69746e65, 0x444d4163}, "AuthenticAMD"},
        {{0, 0, 0}, std::string(12, '\0')},
        {{0x00410000, 0x42000000, 0x00000043}, Bytes("\0\0A\0\0\0\0BC\0\0\0", 12)},
        {{0xFFFFFFFF, 0x80808080, 0x20202020}, "\xFF\xFF\xFF\xFF\x80\x80\x80\x80    "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.out));
        EXPECT_EQ(c.id.toString().size(), 12u);
        EXPECT_EQ(c.id.toString(), c.out);
    }
}

// A CPU whose extended leaves end at `highest` and whose brand leaves hold
// `brand` (NUL-padded to 48 bytes). Like an Intel CPU, it answers a leaf
// beyond its range too; counts what it is asked.
struct FakeCpu {
    unsigned int highest;
    std::string brand;
    std::map<unsigned int, int> asked;

    velmor_lic::detail::CpuidRegs operator()(unsigned int leaf) {
        ++asked[leaf];
        velmor_lic::detail::CpuidRegs regs{};
        if (leaf == 0x80000000u) regs.eax = highest;
        if (leaf >= 0x80000002u && leaf <= 0x80000004u) {
            const std::string padded = (brand + std::string(48, '\0')).substr(16 * (leaf - 0x80000002u), 16);
            std::memcpy(&regs, padded.data(), sizeof regs);
        }
        return regs;
    }
};

TEST(CpuProbes, BrandFollowsTheLeafRules) {
    const std::string xeon = "Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz";
    const std::string full48(48, 'B');
    const std::string epyc = "AMD EPYC 7B13 64-Core Processor";  // 31 bytes
    struct Case {
        const char* what;
        unsigned int highest;
        std::string brand, out;
    };
    const Case cases[] = {
        {"leading spaces dropped", 0x80000008u, "      " + xeon, xeon},
        {"48 bytes, no NUL", 0x80000008u, full48, full48},
        {"33 bytes", 0x80000008u, std::string(33, 'C'), std::string(33, 'C')},
        {"32 bytes padded with NUL", 0x80000008u, std::string(32, 'D'), "NA"},
        {"short brand padded with NUL", 0x80000008u, epyc, "NA"},
        {"empty brand", 0x80000008u, "", "NA"},
        {"text up to the first NUL, trailing blanks dropped", 0x80000008u, Bytes("Brand  \0", 8) + std::string(40, 'x'),
         "Brand"},
        {"highest leaf 0x80000004", 0x80000004u, xeon, xeon},
        {"leaf 0x80000004 declined", 0x80000003u, std::string(40, 'E'), std::string(32, 'E')},
        {"all three declined", 0x80000001u, xeon, ""},
        {"no extended range", 0, xeon, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCpu cpu{c.highest, c.brand, {}};
        EXPECT_EQ(velmor_lic::detail::cpu_brand_from(cpu), c.out);
        for (const auto& leaf : cpu.asked) EXPECT_EQ(leaf.second, 1) << std::hex << leaf.first;
    }
}

TEST(CpuProbes, VendorMatchesProcCpuinfo) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("vendor_id", 0) != 0) {
    }
    if (line.rfind("vendor_id", 0) != 0) GTEST_SKIP() << "no vendor_id line in /proc/cpuinfo";
    const std::string vendor_id = line.substr(line.find(':') + 2);
    EXPECT_EQ(velmor_lic::get_cpu_vendor(), vendor_id);
}

TEST(CpuProbes, BrandIsNAOrATrimmedText) {
    const std::string brand = velmor_lic::get_cpu_brand();
    if (brand == "NA") return;
    EXPECT_EQ(brand, trim_copy(brand));
    EXPECT_EQ(brand.find('\0'), std::string::npos);
    EXPECT_LE(brand.size(), 48u);
}

// ---- sysfs probes over fake trees ------------------------------------------

size_t OpenDescriptorCount() {
    size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dir != nullptr && ::readdir(dir) != nullptr) ++count;
    if (dir != nullptr) ::closedir(dir);
    return count;
}

class SysfsProbeTest : public testing::Test {
protected:
    int Scan() { return velmor_lic::detail::get_disk_id_at(tree_.base(), devices_); }
    FakeSysfs tree_;
    std::map<std::string, std::string> devices_;
};

TEST_F(SysfsProbeTest, BiosInfoIsTheTrimmedModalias) {
    tree_.SetModalias(Bytes("  dmi:bvnX:\n\0\0", 14));
    EXPECT_EQ(velmor_lic::detail::get_bios_info_at(tree_.base()), "dmi:bvnX:");
}

TEST_F(SysfsProbeTest, BiosInfoIsEmptyWithoutModalias) {
    EXPECT_EQ(velmor_lic::detail::get_bios_info_at(tree_.base()), "");
}

// A missing file is the common case on VMs and containers (no modalias, a
// virtio disk without device/serial): the probes report it without an
// exception, whose first throw costs a static tool more than its report.
TEST_F(SysfsProbeTest, FailuresThrowNoException) {
    tree_.AddDiskWithoutSerial("vda");
    tree_.WriteFile("block/vda/serial", "VMSER\n");
    tree_.MakeDir("devices/fake/dir/serial");
    const int before = g_exceptions_thrown;
    EXPECT_EQ(velmor_lic::detail::get_bios_info_at(tree_.base()), "");
    EXPECT_EQ(velmor_lic::get_device_serial(tree_.sys() + "/missing"), "");
    EXPECT_EQ(velmor_lic::get_device_serial(tree_.sys() + "/devices/fake/dir/serial"), "");
    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(g_exceptions_thrown, before);
    // The count sees a throw: get_file_contents keeps its exception.
    EXPECT_THROW(get_file_contents((tree_.sys() + "/missing").c_str()), std::runtime_error);
    EXPECT_EQ(g_exceptions_thrown, before + 1);
}

TEST_F(SysfsProbeTest, DeviceSerialIsTrimmedOrEmptyWhenUnreadable) {
    // Around 8 KiB a serial no longer fits the first read and is read again by size.
    const std::string x8191(8191, 'x'), x8192(8192, 'x'), x8193(8193, 'x');
    const struct {
        const char* what;
        std::string bytes;  // empty: no file at all
        std::string serial;
    } cases[] = {
        {"blanks around", "  ABC123 \n", "ABC123"},
        {"one short of the first read", x8191, x8191},
        {"exactly the first read", x8192, x8192},
        {"beyond the first read", x8193 + "\n", x8193},
        {"missing", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSysfs tree;
        if (!c.bytes.empty()) tree.WriteFile("serial", c.bytes);
        EXPECT_EQ(velmor_lic::get_device_serial(tree.sys() + "/serial"), c.serial);
    }
}

TEST_F(SysfsProbeTest, WholeScanReturnsZeroAndKeysAreEntryNames) {
    tree_.AddDisk("sda", "A\n");
    tree_.AddDisk("nvme0n1", "N\n");
    tree_.AddUnbackedEntry("loop0");
    EXPECT_EQ(Scan(), 0);
    EXPECT_EQ(devices_, (std::map<std::string, std::string>{{"nvme0n1", "N"}, {"sda", "A"}}));
}

TEST_F(SysfsProbeTest, ScanFillsAMapThatAlreadyHoldsEntries) {
    devices_["sda"] = "old";
    devices_["zz"] = "kept";
    tree_.AddDisk("sda", "new\n");
    EXPECT_EQ(Scan(), 0);
    EXPECT_EQ(devices_, (std::map<std::string, std::string>{{"sda", "new"}, {"zz", "kept"}}));
}

TEST_F(SysfsProbeTest, StoppedScanReturnsOneAndKeepsWhatPrecededTheStop) {
    const char* stoppers[] = {"no serial file", "blank serial"};
    for (const char* stopper : stoppers) {
        SCOPED_TRACE(stopper);
        FakeSysfs tree;
        for (const char* name : {"sda", "sdb", "sdd"}) tree.AddDisk(name, name);
        if (std::string(stopper) == "blank serial") tree.AddDisk("sdc", " \n");
        else tree.AddDiskWithoutSerial("sdc");
        std::map<std::string, std::string> expected;
        for (const std::string& name : tree.ListBlockDir()) {
            if (name == "sdc") break;
            expected[name] = name;
        }
        std::map<std::string, std::string> devices;
        EXPECT_EQ(velmor_lic::detail::get_disk_id_at(tree.base(), devices), 1);
        EXPECT_EQ(devices, expected);
    }
}

TEST_F(SysfsProbeTest, MissingBlockDirReturnsOneWithEmptyMap) {
    EXPECT_EQ(Scan(), 1);
    EXPECT_TRUE(devices_.empty());
}

TEST_F(SysfsProbeTest, ScanReleasesItsDescriptorsOnEveryWayOut) {
    const size_t before = OpenDescriptorCount();
    tree_.AddDisk("sda", "A\n");
    EXPECT_EQ(Scan(), 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
    tree_.AddDiskWithoutSerial("sdb");
    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(OpenDescriptorCount(), before);
    tree_.MakeSymlink("device", "block/sdc/device");
    Scan();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
