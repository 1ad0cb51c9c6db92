// A child process the runner tests control. Runs its arguments as a script of
// steps, in order, then exits 0:
//   exit N       exit with code N          out N      write N bytes 'x'
//   echo TEXT    TEXT and "\n" to stdout   err TEXT   TEXT and "\n" to stderr
//   nul          "ab\0cd" to stdout        fds        its open fds to stdout
//   cat          copy stdin to stdout      sleep MS   sleep MS milliseconds
//   closeout     close stdout and stderr   raise SIG  raise signal SIG
//   sigs         its SigBlk, SigIgn and SigCgt lines of /proc/thread-self/status
//   pgid G       move into the existing process group G
//   run CMD      CMD through the library's runner with the exec wait, and
//                WaitChildToExec after it: "started" once both returned,
//                CMD's output, then "err:"
//                and the runner's text; exits with the code Close gives (98
//                and the text when it did not start)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "popen_cmd.h"

namespace {

void WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void WriteLine(int fd, const std::string& text) { WriteAll(fd, (text + "\n").data(), text.size() + 1); }

void WriteX(long count) {
    const std::string chunk(65536, 'x');
    for (; count > 0; count -= static_cast<long>(chunk.size())) {
        WriteAll(1, chunk.data(), std::min(static_cast<size_t>(count), chunk.size()));
    }
}

// Space-separated descriptor numbers, found without /proc (a fault filter
// may refuse to list it).
void ListFds() {
    std::string text;
    for (long fd = 0; fd < ::sysconf(_SC_OPEN_MAX); ++fd) {
        if (::fcntl(static_cast<int>(fd), F_GETFD) >= 0) text += std::to_string(fd) + " ";
    }
    WriteLine(1, text);
}

void Cat() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(0, buf, sizeof(buf))) > 0) WriteAll(1, buf, static_cast<size_t>(n));
}

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    ::nanosleep(&ts, nullptr);
}

void ListSignalSets() {
    std::ifstream status("/proc/thread-self/status");
    std::string text;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0 || line.rfind("SigCgt:", 0) == 0) {
            text += line + "\n";
        }
    }
    WriteAll(1, text.data(), text.size());
}

int RunThroughRunner(const char* command) {
    velmor_lic::KPopenCmd runner(0);
    if (!runner.OpenCmd(command, "r", true)) {
        WriteLine(1, std::string("start failed: ") + runner.getErr());
        return 98;
    }
    // The explicit look too: the child runs the shell, named as this program may be.
    runner.WaitChildToExec();
    WriteLine(1, "started");
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), runner.GetReadFp())) > 0) WriteAll(1, buf, n);
    WriteLine(1, std::string("err:") + runner.getErr());
    return runner.Close(false);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "0";
        if (step == "exit") return std::atoi(arg);
        if (step == "out") WriteX(std::atol(arg)), ++i;
        else if (step == "echo") WriteLine(1, arg), ++i;
        else if (step == "err") WriteLine(2, arg), ++i;
        else if (step == "nul") WriteAll(1, "ab\0cd", 5);
        else if (step == "fds") ListFds();
        else if (step == "cat") Cat();
        else if (step == "sleep") SleepMs(std::atol(arg)), ++i;
        else if (step == "closeout") ::close(1), ::close(2);
        else if (step == "raise") ::raise(std::atoi(arg)), ++i;
        else if (step == "sigs") ListSignalSets();
        else if (step == "pgid") ::setpgid(0, std::atoi(arg)), ++i;
        else if (step == "run") return RunThroughRunner(arg);
        else return 99;
    }
    return 0;
}
