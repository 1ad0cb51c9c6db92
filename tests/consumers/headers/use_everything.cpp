// Compiled, never run: every public function and template in its usual forms,
// under each C++ standard, as a program of the library's users would call them.
#include <velmor_lic/lic_func.h>
#include <velmor_lic/popen_cmd.h>
#include <velmor_lic/run_cmd.h>
#include <velmor_lic/str_buffer.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

using namespace velmor_lic;

struct Failing : ErrorBase {};

int UseEverything() {
    std::string text = string_sprintf("plain, 100%%") + string_sprintf("%d %s %zu", 1, "two", sizeof(int));
    text += get_cpu_vendor() + get_cpu_brand() + CPUVendorID{0, 0, 0}.toString();
    text +=
        get_bios_info() + get_device_serial("/sys/block/sda/device/serial") + get_file_contents("/etc/hostname", 64);
    std::map<std::string, std::string> devices;
    int n = get_disk_id(devices);
    text += Trim(text, " \t");
    std::vector<std::string> pieces = Tokenize(text, ",");
    Split_KMP("::", text, pieces);
    std::vector<int> table;
    lps_func(text, table);
    Failing failing;
    n += failing.setErr("%s: %d", "failed", 3) + failing.getErr()[0];
    std::string why;
    n += ExecuteCmd("true", why) + ExecuteCmd("true", why, std::chrono::milliseconds(100));

    Buffer buffer;
    Buffer sized(size_t{64});
    char storage[16] = {};
    Buffer wrapped(storage, sizeof(storage), 0);
    n += buffer.Printf("%s=%d", "x", 1) + buffer.PrintString(text) + buffer.Write("ab", 2) + buffer.WriteByte('c');
    n += buffer.Write(&sized, 0) + buffer.IndexOf("b", 1) + buffer.IndexOf("b", 1, 0, 2);
    n += buffer.EnsureWritableBytes(8) + buffer.Reserve(128) + static_cast<int>(buffer.Compact(0));
    char c = 0;
    n += buffer.ReadByte(c) + buffer.Read(&c, 1) + buffer.Read(&sized, 1) + buffer.Copyout(&c, 1);
    buffer.AdvanceWriteIndex(0);
    buffer.AdvanceReadIndex(0);
    buffer.SkipBytes(0);
    buffer.DiscardReadedBytes();
    int err = 0;
    n += buffer.ReadFD(0, err) + buffer.WriteFD(1, err) + static_cast<int>(buffer.ReadableBytes() + wrapped.Capacity());
    text += buffer.AsString() + buffer.c_str();

    n += SetFdCloexec(0) + static_cast<int>(ReadBufferFromFD(0, buffer, 16) + GetClockMonoMSec());
    char errbuf[1024];
    n += ReadBufferFromFile("/proc/self/stat", buffer, 64, errbuf);
    text += ConvertToAbsolutePath(".");
    KCProcStat stat;
    n += stat.Parse("1 (init) S 0") + static_cast<int>(stat.GetPpid());
    text += stat.String() + stat.GetbinName() + stat.GetState();
    KPopenCmd cmd(0);
    if (cmd.OpenCmd("true", "r", true)) {
        n += cmd.GetProcStat(cmd.GetChildPid(), stat) + (cmd.GetReadFp() != nullptr) + cmd.GetReadFd();
        n += cmd.Close(false);
    }
    text += cmd.GetCmdPath();
    RunOptions options;
    options.timeout = std::chrono::seconds(1);
    options.input = text;
    options.env = {"LC_ALL=C"};
    const RunResult run = RunCommand({"true"}, options);
    const RunResult shell = RunShell("true");
    n +=
        run.started + run.ok() + shell.exit_code + shell.signal + run.timed_out + run.out_truncated + run.err_truncated;
    text += run.out + run.err + run.error;
    return n + static_cast<int>(text.size() + pieces.size() + table.size() + devices.size());
}
