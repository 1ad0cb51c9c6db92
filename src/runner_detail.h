// Internal seams of the command runner and of ExecuteCmd, for the library's
// own callers and the tests. Not part of the library's interface.
#pragma once

#include <chrono>
#include <string>

#include "popen_cmd.h"

namespace velmor_lic {
namespace detail {

// How a runner makes its child, beyond what OpenCmd offers.
struct ChildOptions {
    // The shell leads a process group of its own, made before the start returns.
    bool ownProcessGroup = false;
    // Asks for a pidfd at the start; false behaves as a kernel before 5.2,
    // which ignores the request.
    bool askPidfd = true;
};

// What the library itself reaches inside a runner. popen_cmd.h names it as a
// friend inside its exported region, so its one out-of-line function is
// hidden here: a seam, not the interface.
struct RunnerAccess {
    // OpenCmd with the child made as `options` say.
    __attribute__((visibility("hidden"))) static bool OpenCmdWith(KPopenCmd& runner, const char* command,
                                                                  const char* mode, const ChildOptions& options);
    // What names the child alone (own_child.h): the start's pidfd, else the
    // child's /proc directory, -1 without either; the runner keeps owning it.
    static int Handle(const KPopenCmd& runner) { return runner.pidfd_; }
};

// ExecuteCmd's probe of a child's end (internal to execute_cmd.cpp).
bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo);

// How ExecuteCmd waits for the end: woken by a pidfd of the child where the
// start got one (else paced), or always paced, as on a kernel without pidfds.
enum class EndWait { kPidfd, kPaced };

// ExecuteCmd with the end wait chosen; a positive `timeout` is the deadline.
bool ExecuteCmdWith(const std::string& cmd, std::string& err_msg, EndWait how,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace detail
}  // namespace velmor_lic
