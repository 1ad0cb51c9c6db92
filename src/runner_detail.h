// Internal seams of the command runner and of ExecuteCmd, for the tests.
// Not part of the library's interface.
#pragma once

#include <cstdint>
#include <string>

#include "popen_cmd.h"

namespace velmor_lic {
namespace detail {

// How long KPopenCmd waits for its child to exec: a quick look every
// `fast_pause_us` during the first `fast_phase_ms`, then one look every
// `slow_pause_us`, and a kill at the look after `slow_looks` slow ones.
struct ExecWaitLimits {
    unsigned first_pause_us = 4000;
    uint64_t fast_phase_ms = 1000;
    unsigned fast_pause_us = 4000;
    int slow_looks = 10;
    unsigned slow_pause_us = 1000000;
};

// The wait of KPopenCmd::WaitChildToExec, with the program path `curBin`
// whose name marks the not yet exec'ed child. Returns true when it killed
// the child (the reason is then in runner.getErr()).
bool WaitForExec(KPopenCmd& runner, const std::string& curBin, const ExecWaitLimits& limits);

// ExecuteCmd's probe of a child's end (internal to execute_cmd.cpp).
bool CheckPidStatusSeam(int pid, int& retcode, char* errinfo);

// How ExecuteCmd waits for the end: woken by a pidfd of the child (falling
// back to the paced loop where there is none), or always the paced loop of
// one-second polls of the output and growing pauses once it is closed.
enum class EndWait { kPidfd, kPaced };

// ExecuteCmd with the end wait chosen.
bool ExecuteCmdWith(const std::string& cmd, std::string& err_msg, EndWait how);

}  // namespace detail
}  // namespace velmor_lic
