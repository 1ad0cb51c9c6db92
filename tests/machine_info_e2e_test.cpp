// The built machine_info binary, run over fake /sys trees: stdout, stderr and
// exit status compared byte for byte.
#include "fake_sysfs.h"
#include "lic_func.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using velmor_test::FakeSysfs;
using velmor_test::RunResult;

// Records as the report prints them, in map (byte-wise name) order.
std::string DeviceLine(const std::map<std::string, std::string>& devices) {
    std::string line = "device_infos:[";
    for (const auto& device : devices) {
        if (line.back() == '}') line += ",";
        line += "{\"name\":\"" + device.first + "\",\"serial\":\"" + device.second + "\"}";
    }
    return line + "]\n";
}

std::string ErrnoPart(int err) { return "[" + std::to_string(err) + "]," + std::strerror(err); }

class MachineInfoE2eTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string why = velmor_test::WhyNoPrivateSys();
        if (!why.empty()) GTEST_SKIP() << "no private mount namespace for a fake /sys: " << why;
    }

    RunResult Run(const std::vector<std::string>& args = {}) {
        return velmor_test::RunWithFakeSys(MACHINE_INFO_PATH, tree_, args);
    }

    // The cpu_id line depends on the host CPU: taken from the library itself,
    // cut at the first NUL as the report prints it.
    static std::string CpuLine() {
        const std::string cpu_id = velmor_lic::get_cpu_vendor() + "-" + velmor_lic::get_cpu_brand();
        return "cpu_id:" + std::string(cpu_id.c_str()) + "\n";
    }

    void ExpectRun(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
        const RunResult result = Run(args);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, err);
    }

    FakeSysfs tree_;
};

TEST_F(MachineInfoE2eTest, NoDisksGiveAnEmptyArray) {
    tree_.SetModalias("dmi:bvnACME:\n");
    tree_.MakeBlockDir();
    ExpectRun({}, CpuLine() + "bios_info:dmi:bvnACME:\ndevice_infos:[]\n", "");
}

TEST_F(MachineInfoE2eTest, EntriesWithoutDeviceLinkAreSkippedSilently) {
    tree_.SetModalias("dmi:x\n");
    for (const char* name : {"loop0", "loop1", "ram0", "dm-0"}) tree_.AddUnbackedEntry(name);
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\ndevice_infos:[]\n", "");
}

TEST_F(MachineInfoE2eTest, OneDiskHasNoTrailingComma) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", "WD-1234\n");
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\ndevice_infos:[{\"name\":\"sda\",\"serial\":\"WD-1234\"}]\n", "");
}

TEST_F(MachineInfoE2eTest, DisksComeOutInByteOrderWhateverTheListingOrder) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sdb", "B\n");
    tree_.AddUnbackedEntry("loop0");
    tree_.AddDisk("nvme0n1", "N\n");
    tree_.AddDisk("sda", "A\n");
    tree_.AddDisk("Sdz", "Z\n");  // capitals sort before lower case
    ExpectRun({},
              CpuLine() +
                  "bios_info:dmi:x\ndevice_infos:["
                  "{\"name\":\"Sdz\",\"serial\":\"Z\"},"
                  "{\"name\":\"nvme0n1\",\"serial\":\"N\"},"
                  "{\"name\":\"sda\",\"serial\":\"A\"},"
                  "{\"name\":\"sdb\",\"serial\":\"B\"}]\n",
              "");
}

TEST_F(MachineInfoE2eTest, SerialLosesSurroundingBlanksAndNulTail) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", std::string("  ABC 123 \n\0\0\0\0", 15));
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\ndevice_infos:[{\"name\":\"sda\",\"serial\":\"ABC 123\"}]\n", "");
}

TEST_F(MachineInfoE2eTest, SerialIsPrintedUnescapedUpToItsFirstNul) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", "a\"b\\c\n");
    tree_.AddDisk("sdb", std::string("\0lead", 5));  // not blank, so kept, but prints empty
    tree_.AddDisk("sdc", std::string("in\0ner", 6));
    ExpectRun({},
              CpuLine() +
                  "bios_info:dmi:x\ndevice_infos:["
                  "{\"name\":\"sda\",\"serial\":\"a\"b\\c\"},"
                  "{\"name\":\"sdb\",\"serial\":\"\"},"
                  "{\"name\":\"sdc\",\"serial\":\"in\"}]\n",
              "");
}

TEST_F(MachineInfoE2eTest, ModaliasLosesNewlineAndNulTail) {
    tree_.SetModalias(std::string("dmi:bvnSeaBIOS:bvr1.16:\n\0\0\0", 27));
    tree_.MakeBlockDir();
    ExpectRun({}, CpuLine() + "bios_info:dmi:bvnSeaBIOS:bvr1.16:\ndevice_infos:[]\n", "");
}

TEST_F(MachineInfoE2eTest, MissingModaliasGivesEmptyBiosInfoAndAMessage) {
    tree_.MakeBlockDir();
    ExpectRun({}, CpuLine() + "bios_info:\ndevice_infos:[]\n",
              std::string("get bios info failed: ") + std::strerror(ENOENT) + "\n");
}

TEST_F(MachineInfoE2eTest, DisksListedAfterASerialLessDiskAreLeftOut) {
    tree_.SetModalias("dmi:x\n");
    for (const char* name : {"sda", "sdb", "sdd", "sde"}) tree_.AddDisk(name, std::string("S-") + name);
    tree_.AddDiskWithoutSerial("sdc");
    // Which disks precede sdc depends on the file system's listing order.
    std::map<std::string, std::string> before;
    for (const std::string& name : tree_.ListBlockDir()) {
        if (name == "sdc") break;
        before[name] = "S-" + name;
    }
    SCOPED_TRACE(testing::PrintToString(tree_.ListBlockDir()));
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\n" + DeviceLine(before),
              std::string("read device serial: /sys/block/sdc/device/serial failed: ") + std::strerror(ENOENT) + "\n");
}

TEST_F(MachineInfoE2eTest, BlankSerialStopsTheScanSilently) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", std::string(" \t\r\n\0\0", 6));
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\ndevice_infos:[]\n", "");
}

// A failed serial gives the serial's message; a device link that cannot be
// looked at gives the device message with the errno of that look.
TEST_F(MachineInfoE2eTest, DiskThatCannotBeReadStopsTheScanWithItsMessage) {
    const std::string serial_failed = "read device serial: /sys/block/sda/device/serial failed: ";
    const std::string device_failed = "get device: /sys/block/sda/device state failed: ";
    struct Case {
        const char* what;
        void (*build)(FakeSysfs&);
        std::string err;
    };
    const Case cases[] = {
        {"no serial file", [](FakeSysfs& t) { t.AddDiskWithoutSerial("sda"); }, serial_failed + std::strerror(ENOENT)},
        {"serial beside the disk, as virtio has it",
         [](FakeSysfs& t) {
             t.AddDiskWithoutSerial("sda");
             t.WriteFile("block/sda/serial", "VMSER\n");
         },
         serial_failed + std::strerror(ENOENT)},
        {"device link is a plain file", [](FakeSysfs& t) { t.WriteFile("block/sda/device", "x\n"); },
         serial_failed + std::strerror(ENOTDIR)},
        {"serial is a directory", [](FakeSysfs& t) { t.MakeDir("block/sda/device/serial"); },
         serial_failed + std::strerror(EISDIR)},
        {"entry is a plain file", [](FakeSysfs& t) { t.WriteFile("block/sda", "not a dir\n"); },
         device_failed + ErrnoPart(ENOTDIR)},
        {"device link loops", [](FakeSysfs& t) { t.MakeSymlink("device", "block/sda/device"); },
         device_failed + ErrnoPart(ELOOP)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSysfs tree;
        tree.SetModalias("dmi:x\n");
        c.build(tree);
        const RunResult result = velmor_test::RunWithFakeSys(MACHINE_INFO_PATH, tree, {});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, CpuLine() + "bios_info:dmi:x\ndevice_infos:[]\n");
        EXPECT_EQ(result.err, c.err + "\n");
    }
}

TEST_F(MachineInfoE2eTest, MissingSysBlockGivesAnEmptyArrayAndAMessage) {
    ExpectRun({}, CpuLine() + "bios_info:\ndevice_infos:[]\n",
              std::string("get bios info failed: ") + std::strerror(ENOENT) + "\n" +
                  "open sys block: /sys/block failed: " + ErrnoPart(ENOENT) + "\n");
}

TEST_F(MachineInfoE2eTest, IgnoreScanBlkAlonePrintsTwoLinesAndLooksAtNoDisk) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDiskWithoutSerial("sda");  // would print a message if scanned
    ExpectRun({"ignore_scan_blk"}, CpuLine() + "bios_info:dmi:x\n", "");
}

TEST_F(MachineInfoE2eTest, OtherCommandLinesRunTheFullReport) {
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", "S1\n");
    const std::string full = CpuLine() + "bios_info:dmi:x\ndevice_infos:[{\"name\":\"sda\",\"serial\":\"S1\"}]\n";
    const std::vector<std::vector<std::string>> command_lines = {
        {"ignore_scan_blk", "more"}, {"IGNORE_SCAN_BLK"}, {"ignore_scan_blk "}, {"ignore_scan"}, {""},
    };
    for (const auto& args : command_lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        ExpectRun(args, full, "");
    }
}

// A report not delivered whole is a failure, with one line on stderr; the
// probes' messages come first, as ever.
TEST_F(MachineInfoE2eTest, UndeliveredReportExitsOneWithItsReason) {
    tree_.AddDisk("sda", "S1\n");
    const struct {
        const char* stdout_path;  // "": closed
        int err;
    } cases[] = {{"/dev/full", ENOSPC}, {"", EBADF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stdout_path);
        const RunResult result = velmor_test::RunWithFakeSys(MACHINE_INFO_PATH, tree_, {}, c.stdout_path);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, std::string("get bios info failed: ") + std::strerror(ENOENT) + "\n" +
                                  "write report failed: " + ErrnoPart(c.err) + "\n");
    }
}

// ---- bad input ---------------------------------------------------------------

std::string AllByteValues() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}

TEST_F(MachineInfoE2eTest, OneMebibyteSerialIsPrintedWhole) {
    const std::string serial(1 << 20, 'Q');
    tree_.SetModalias("dmi:x\n");
    tree_.AddDisk("sda", serial + "\n");
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\ndevice_infos:[{\"name\":\"sda\",\"serial\":\"" + serial + "\"}]\n", "");
}

TEST_F(MachineInfoE2eTest, EveryByteValueGoesThroughUntrimmedUpToTheFirstNul) {
    const std::string ascending = AllByteValues();            // starts with NUL: prints empty
    const std::string nul_last = ascending.substr(1) + '\0';  // 0x01..0xFF survive trimming
    tree_.SetModalias(nul_last);
    tree_.AddDisk("sda", ascending);
    tree_.AddDisk("sdb", nul_last);
    ExpectRun({},
              CpuLine() + "bios_info:" + ascending.substr(1) +
                  "\ndevice_infos:["
                  "{\"name\":\"sda\",\"serial\":\"\"},"
                  "{\"name\":\"sdb\",\"serial\":\"" +
                  ascending.substr(1) + "\"}]\n",
              "");
}

TEST_F(MachineInfoE2eTest, TwoThousandBlockEntriesAreAllReported) {
    tree_.SetModalias("dmi:x\n");
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "d" + std::to_string(i);
        if (i % 4 == 3) {
            tree_.AddUnbackedEntry(name);
        } else {
            tree_.AddDisk(name, "SER" + std::to_string(i) + "\n");
            expected[name] = "SER" + std::to_string(i);
        }
    }
    ExpectRun({}, CpuLine() + "bios_info:dmi:x\n" + DeviceLine(expected), "");
}

}  // namespace
