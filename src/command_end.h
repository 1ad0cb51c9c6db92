// Watching a started program to its end: its two outputs read apart, its
// input written meanwhile, its end or its deadline waited for. Internal to
// the library; not installed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "deadline.h"
#include "unique_fd.h"

namespace velmor_lic {

struct RunResult;

namespace detail {

// The parent's ends of a started program's pipes, all non-blocking and
// close-on-exec; an invalid one is not there. The wait closes each once it
// is done with it.
struct CommandPipes {
    UniqueFd out;  // reads the program's standard output
    UniqueFd err;  // reads its standard error
    UniqueFd in;   // writes its standard input
    // The read end of the input pipe, held while there is input to write:
    // with a reader left the pipe never breaks, so a program that stops
    // reading leaves a full pipe, never a SIGPIPE in the caller.
    UniqueFd inReader;
};

// The block both outputs are read into before their bytes are kept or
// dropped, made by the caller before the start (it may throw there): what a
// pipe holds by default.
constexpr std::size_t kReadChunkBytes = 65536;

struct CommandLimits {
    Deadline deadline{std::chrono::milliseconds(0)};
    std::size_t maxOutput = 0;  // of each output
};

// Waits until child `pid` (an unreaped child of this process; `handle` its
// handle of own_child.h, a pidfd when `pidfd`) has ended or, with a
// deadline, until the deadline, which kills its process group and it.
// Meanwhile reads its outputs through `chunk` (kReadChunkBytes) into
// result.out and result.err (up to maxOutput each, the rest read and
// dropped) and writes `input`. Then takes what the pipes hold at that
// moment, reaps the child and records its status, timed_out, or why its end
// could not be seen. Throws nothing.
void WaitForCommand(pid_t pid, int handle, bool pidfd, CommandPipes& pipes, const std::string& input,
                    const CommandLimits& limits, char* chunk, RunResult& result);

// The pieces of `head`, then "[err],<strerror>", into `error`, as the
// library's reasons read ("exec ls failed: [2],No such file or directory");
// only "[err]" where even that cannot be allocated. Throws nothing.
void SetError(std::string& error, std::initializer_list<std::string_view> head, int err);

}  // namespace detail
}  // namespace velmor_lic
