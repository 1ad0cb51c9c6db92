// Throw-away sysfs-like trees for the identity probes' tests, and a way to run
// the machine_info binary with such a tree mounted over /sys.
#pragma once

#include <string>
#include <vector>

namespace velmor_test {

// A temporary directory base() that holds sys() (the fake /sys) and is removed
// with everything in it on destruction. Paths given to the builders are
// relative to sys(); missing parent directories are created. Builders abort
// the test program on failure: a broken fixture is no test result.
class FakeSysfs {
public:
    FakeSysfs();
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    // Root to hand to the probes' internal *_at functions.
    const std::string& base() const { return base_; }
    std::string sys() const { return base_ + "/sys"; }

    void WriteFile(const std::string& rel, const std::string& bytes);
    void MakeDir(const std::string& rel);
    void MakeSymlink(const std::string& target, const std::string& rel);

    void SetModalias(const std::string& bytes);
    // block/<name>/device, a link to devices/fake/<name>, which holds `serial`.
    void AddDisk(const std::string& name, const std::string& serial);
    void AddDiskWithoutSerial(const std::string& name);
    // block/<name> without a device link, as loop and ram devices are.
    void AddUnbackedEntry(const std::string& name);
    void MakeBlockDir() { MakeDir("block"); }

    // Names under block/, in the order the directory lists them.
    std::vector<std::string> ListBlockDir() const;

private:
    std::string base_;
};

struct RunResult {
    int exit_status = -1;  // -1 unless the program exited normally
    std::string out;
    std::string err;
};

// Why `binary` cannot be run over a fake /sys here (no private mount
// namespace, neither as root nor through a user namespace); "" when it can.
std::string WhyNoPrivateSys();

// Runs `binary` with `args` in a private mount namespace where `tree.sys()`
// is bound over /sys; stdin is /dev/null, stdout and stderr are captured
// (stdout: the file `stdout_path` instead, closed for ""). Fails the current
// test (and returns an empty result) when it cannot.
RunResult RunWithFakeSys(const std::string& binary, const FakeSysfs& tree, const std::vector<std::string>& args,
                         const char* stdout_path = nullptr);

// The file's bytes; fails the current test when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace velmor_test
