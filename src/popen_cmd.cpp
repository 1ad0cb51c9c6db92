// The child command runner: starts "/bin/sh -c" over pipes, waits for its
// exec, kills and reaps it.
#include "popen_cmd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "eintr_retry.h"
#include "runner_detail.h"
#include "unique_fd.h"

namespace velmor_lic {

namespace {

struct Pipe {
    detail::UniqueFd rd;
    detail::UniqueFd wr;
    void reset() {
        rd.reset();
        wr.reset();
    }
};

struct ModeSwitches {
    bool do_read = false;
    bool do_write = false;
    bool redirectErrToOutput = false;
};

// Everything the child needs, prepared before fork: after fork the child may
// only call async-signal-safe functions that neither allocate nor lock.
struct ChildPlan {
    int parentRd = -1;
    int childWr = -1;
    int parentWr = -1;
    int childRd = -1;
    bool redirectErrToOutput = false;
    char* const* argv = nullptr;
};

const char kShellPath[] = "/bin/sh";

[[noreturn]] void RunChild(const ChildPlan& plan) {
    if (plan.childWr >= 0 && plan.childWr != 1) ::dup2(plan.childWr, 1);
    // Without a read pipe there is nothing to send stderr to: it stays as inherited.
    if (plan.redirectErrToOutput && plan.childWr >= 0 && plan.childWr != 2) ::dup2(plan.childWr, 2);
    if (plan.childRd >= 0 && plan.childRd != 0) ::dup2(plan.childRd, 0);

    // Every pipe end lies above 2, so none of them is one of the new 0, 1, 2.
    if (plan.parentRd >= 0) ::close(plan.parentRd);
    if (plan.childWr > 2) ::close(plan.childWr);
    if (plan.childRd > 2) ::close(plan.childRd);
    if (plan.parentWr >= 0) ::close(plan.parentWr);

    // 0, 1 and 2 are dups of close-on-exec pipe ends: the shell must keep them.
    if (plan.childRd >= 0) ::fcntl(0, F_SETFD, 0);
    if (plan.childWr >= 0) ::fcntl(1, F_SETFD, 0);
    if (plan.redirectErrToOutput) ::fcntl(2, F_SETFD, 0);

    (void)::signal(SIGPIPE, SIG_DFL);
    ::execv(kShellPath, plan.argv);
    // 383 & 0xff == 127, the shell's own "cannot execute" code.
    ::_exit(383);
}

// False on a letter other than r, w, e, 2 (which may repeat, in any order).
bool ParseMode(const char* mode, ModeSwitches& sw) {
    for (const char* c = mode; *c != '\0'; ++c) {
        switch (*c) {
            case 'r': sw.do_read = true; break;
            case 'w': sw.do_write = true; break;
            case 'e': break;  // close-on-exec is always on
            case '2': sw.redirectErrToOutput = true; break;
            default: return false;
        }
    }
    return true;
}

// Makes a close-on-exec pipe whose ends both lie above 2; returns 0 or errno.
// Pipes that take 0, 1 or 2 stay open in `small` so that the next gets
// higher numbers; the caller closes them.
int MakePipeAbove2(Pipe& pipe, std::vector<int>& small) {
    for (;;) {
        int fds[2];
        // O_CLOEXEC at creation: a fork in another thread cannot catch them open.
        if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
        if (fds[0] > 2 && fds[1] > 2) {
            pipe.rd.reset(fds[0]);
            pipe.wr.reset(fds[1]);
            return 0;
        }
        small.push_back(fds[0]);
        small.push_back(fds[1]);
    }
}

// The kernel's short name of a process running `path`: the first 15 bytes
// of its last component, seen through the same "()" trim as Parse applies.
std::string ShortCommandName(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    return Trim(last.substr(0, 15), "()");
}

bool IsEnded(const KCProcStat& stat) {
    return stat.GetState() == "Z" || stat.GetState() == "X";
}

}  // namespace

// ---- Child command runner --------------------------------------------------

KPopenCmd::~KPopenCmd() { Close(false); }

bool KPopenCmd::OpenCmd(const char* command, const char* mode, bool waitToExec) {
    return openImp(command, mode, waitToExec);
}

bool KPopenCmd::openImp(const char* command, const char* mode, bool waitToExec) {
    if (command == nullptr) command = "";
    if (mode == nullptr) mode = "";

    ModeSwitches sw;
    if (!ParseMode(mode, sw)) {
        setErr("unknown mode:%s", mode);
        return false;
    }
    if (!sw.do_read && !sw.do_write) {
        // Both switches are off here.
        setErr("mode must have read or write read[%d]/write[%d] op,mode:%s", 0, 0, mode);
        return false;
    }

    // An earlier command still held would lose its streams and its child.
    if (read_Fp_ != nullptr || write_Fp_ != nullptr || child_pid_ > 0) Close(false);
    self_kill_ = false;

    Pipe outPipe;  // child's stdout -> parent
    Pipe inPipe;   // parent -> child's stdin
    std::vector<int> smallFdVec;
    for (Pipe* p : {sw.do_read ? &outPipe : nullptr, sw.do_write ? &inPipe : nullptr}) {
        if (p == nullptr) continue;
        const int err = MakePipeAbove2(*p, smallFdVec);
        if (err != 0) {
            setErr("pipe2 error:%d,%s", err, std::strerror(err));
            CloseAllFdFromVec(smallFdVec);
            return false;
        }
    }
    CloseAllFdFromVec(smallFdVec);

    if (sw.do_read) {
        SetFdCloexec(outPipe.rd.get());
        SetFdCloexec(outPipe.wr.get());
    }
    if (sw.do_write) {
        SetFdCloexec(inPipe.wr.get());
        SetFdCloexec(inPipe.rd.get());
    }

    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    ChildPlan plan;
    plan.parentRd = outPipe.rd.get();
    plan.childWr = outPipe.wr.get();
    plan.parentWr = inPipe.wr.get();
    plan.childRd = inPipe.rd.get();
    plan.redirectErrToOutput = sw.redirectErrToOutput;
    plan.argv = argv;

    child_pid_ = ::fork();
    if (child_pid_ < 0) {
        const int err = errno;
        outPipe.reset();
        inPipe.reset();
        setErr("fork error:%d:%s", err, std::strerror(err));
        return false;
    }
    if (child_pid_ == 0) RunChild(plan);

    if (sw.do_read) {
        FILE* fp = ::fdopen(outPipe.rd.get(), "r");
        if (fp == nullptr) {
            const int err = errno;
            setErr("fdopen parent_end:%d,mode:r is error:%d:%s", outPipe.rd.get(), err, std::strerror(err));
            outPipe.reset();
            inPipe.reset();
            KillAndReapChild();
            return false;
        }
        read_Fp_ = fp;
        read_Fd_ = outPipe.rd.release();
        outPipe.wr.reset();
    }
    if (sw.do_write) {
        FILE* fp = ::fdopen(inPipe.wr.get(), "w");
        if (fp == nullptr) {
            const int err = errno;
            setErr("fdopen parent_end:%d,mode:w is error:%d:%s", inPipe.wr.get(), err, std::strerror(err));
            inPipe.reset();
            // With a read stream a later Close reaps the child; without, nothing would.
            if (read_Fp_ == nullptr) KillAndReapChild();
            return false;
        }
        write_Fp_ = fp;
        write_Fd_ = inPipe.wr.release();
        inPipe.rd.reset();
    }

    cmd_ = command;
    if (waitToExec) WaitChildToExec();
    if (self_kill_) {
        Close(false);
        return false;
    }
    return true;
}

void KPopenCmd::KillAndReapChild() {
    if (child_pid_ <= 0) return;
    ::kill(child_pid_, SIGKILL);
    while (::waitpid(child_pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_pid_ = 0;
}

int KPopenCmd::Close(bool ignoreWait) {
    // A child stays known after both streams were closed early: still reap it.
    if (read_Fp_ == nullptr && write_Fp_ == nullptr && child_pid_ <= 0) return 0;
    CloseReadFp();
    CloseWriteFp();

    int status = 256;  // reads as exit code 1 when the wait fails
    if (child_pid_ <= 0) return 0;

    if (timeout_ != 0) {
        if (KillChildExecClose(::getpid())) {
            std::fprintf(stderr, "kill sub pid:%ld success\n", static_cast<long>(child_pid_));
        } else {
            std::fprintf(stderr, "kill sub pid:%ld error:%s\n", static_cast<long>(child_pid_), getErr());
        }
    }

    if (ignoreWait) {
        status = 0;
    } else {
        while (::waitpid(child_pid_, &status, 0) < 0) {
            if (errno != EINTR) {
                status = 256;
                break;
            }
        }
    }
    child_pid_ = 0;
    return (status >> 8) & 0xff;
}

void KPopenCmd::CloseReadFp() {
    if (read_Fp_ == nullptr) return;
    // Nothing to recover from a failed close of a pipe stream; it is gone either way.
    (void)std::fclose(read_Fp_);
    read_Fp_ = nullptr;
    read_Fd_ = -1;
}

void KPopenCmd::CloseWriteFp() {
    if (write_Fp_ == nullptr) return;
    (void)std::fclose(write_Fp_);
    write_Fp_ = nullptr;
    write_Fd_ = -1;
}

void KPopenCmd::CloseAllFdFromVec(std::vector<int>& fd_vec) {
    for (int fd : fd_vec) ::close(fd);
    fd_vec.clear();
}

bool KPopenCmd::KillChildExecClose(pid_t ppid) {
    KCProcStat stat;
    if (!GetProcStat(child_pid_, stat)) {
        setErr("%s", stat.getErr());
        return false;
    }
    if (stat.GetPpid() != ppid) {
        setErr("get child proc stat is:%s,not match fater pid:%ld", stat.String().c_str(), static_cast<long>(ppid));
        return false;
    }
    if (::kill(child_pid_, SIGKILL) < 0) {
        const int err = errno;
        setErr("kill child pid:%ld error:%d,%s", static_cast<long>(child_pid_), err, std::strerror(err));
        return false;
    }
    return true;
}

bool KPopenCmd::GetProcStat(pid_t pid, KCProcStat& stat) {
    Buffer path;
    path.Printf("/proc/%lu/stat", static_cast<unsigned long>(pid));
    Buffer content;
    char errbuf[1024] = {};
    if (!ReadBufferFromFile(path.c_str(), content, 1024, errbuf)) {
        stat.setErr("%s", errbuf);
        return false;
    }
    return stat.Parse(content.c_str());
}

void KPopenCmd::WaitChildToExec() {
    const std::string curBin = ConvertToAbsolutePath(GetCmdPath().c_str());
    if (curBin.empty()) return;
    if (detail::WaitForExec(*this, curBin, detail::ExecWaitLimits())) self_kill_ = true;
}

std::string KPopenCmd::GetCmdPath() {
    char path[512] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    // A link that fills the whole buffer may have been cut.
    if (n < 0 || n > static_cast<ssize_t>(sizeof(path)) - 2) {
        const int err = errno;
        setErr("readlink error:%d,%s", err, std::strerror(err));
        return std::string();
    }
    return std::string(path);
}

namespace detail {

bool WaitForExec(KPopenCmd& runner, const std::string& curBin, const ExecWaitLimits& limits) {
    const std::string forkedName = ShortCommandName(curBin);
    const pid_t child = runner.GetChildPid();
    detail::SleepMicros(limits.first_pause_us);
    const uint64_t beginTime = GetClockMonoMSec();
    int waitCount = 0;
    for (;;) {
        KCProcStat stat;
        if (!runner.GetProcStat(child, stat)) return false;
        if (stat.GetPpid() != ::getpid()) {
            runner.setErr("curBin:%s,getpid:%lu != stat:%s\n", curBin.c_str(),
                          static_cast<unsigned long>(::getpid()), stat.String().c_str());
            return false;
        }
        if (stat.GetbinName() != forkedName) return false;  // runs the shell now
        // Ended without exec (the shell could not be run): Close reaps it.
        if (IsEnded(stat)) return false;

        const uint64_t curTime = GetClockMonoMSec();
        if (curTime - beginTime <= limits.fast_phase_ms) {
            detail::SleepMicros(limits.fast_pause_us);
            continue;
        }
        if (++waitCount > limits.slow_looks) {
            const int ret = ::kill(child, SIGKILL);
            runner.setErr("child stat:%s is waiting too long,kill ret:%d \n", stat.String().c_str(), ret);
            return ret == 0;
        }
        detail::SleepMicros(limits.slow_pause_us);
    }
}

}  // namespace detail

}  // namespace velmor_lic
