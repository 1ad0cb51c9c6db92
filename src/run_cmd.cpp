// RunCommand and RunShell: everything the child needs (argv, environment,
// the PATH search, its three descriptors) made before the start, then the
// runner's start and the end wait.
#include "run_cmd.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "command_end.h"
#include "eintr_retry.h"
#include "own_child.h"
#include "shell_start.h"
#include "unique_fd.h"

namespace velmor_lic {

namespace {

using detail::SetError;
using detail::UniqueFd;

const char kShellPath[] = "/bin/sh";
// execvp's search where PATH is unset.
const char kDefaultSearch[] = "/bin:/usr/bin";

bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

std::string_view NameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// Records why (EINVAL) the options cannot be used; false when they can.
bool InvalidOptions(const RunOptions& options, RunResult& result) {
    if (HasNul(options.cwd)) {
        SetError(result.error, {"NUL byte in cwd: "}, EINVAL);
        return true;
    }
    for (size_t i = 0; i < options.env.size(); ++i) {
        const std::string& entry = options.env[i];
        const bool nul = HasNul(entry);
        if (!nul && !NameOf(entry).empty() && NameOf(entry).size() < entry.size()) continue;
        const std::string index = std::to_string(i);
        SetError(result.error, {nul ? "NUL byte in env[" : "no NAME= in env[", index, "]: "}, EINVAL);
        return true;
    }
    return false;
}

// Everything the child reads, made before it exists; the strings it points
// into are the caller's, the environment's and its own.
struct Prepared {
    std::vector<char*> argv;
    // /bin/sh, the file (written by the child), then argv[1..].
    std::vector<char*> scriptArgv;
    std::vector<std::string> searchPaths;
    std::vector<const char*> searchPathPointers;
    std::vector<char*> envp;
};

void PrepareArgv(const char* const* args, size_t count, Prepared& prepared) {
    prepared.argv.reserve(count + 1);
    prepared.scriptArgv.reserve(count + 2);
    prepared.scriptArgv.push_back(const_cast<char*>(kShellPath));
    prepared.scriptArgv.push_back(nullptr);
    for (size_t i = 0; i < count; ++i) {
        prepared.argv.push_back(const_cast<char*>(args[i]));
        if (i > 0) prepared.scriptArgv.push_back(const_cast<char*>(args[i]));
    }
    prepared.argv.push_back(nullptr);
    prepared.scriptArgv.push_back(nullptr);
}

// The caller's environment with the options' entries on top (the last of a
// NAME wins), or the options' entries alone.
void PrepareEnv(const RunOptions& options, Prepared& prepared) {
    std::unordered_map<std::string_view, size_t> last;
    for (size_t i = 0; i < options.env.size(); ++i) last[NameOf(options.env[i])] = i;
    if (!options.clear_env && environ != nullptr) {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (last.count(NameOf(*entry)) == 0) prepared.envp.push_back(*entry);
        }
    }
    for (size_t i = 0; i < options.env.size(); ++i) {
        if (last[NameOf(options.env[i])] == i) prepared.envp.push_back(const_cast<char*>(options.env[i].c_str()));
    }
    prepared.envp.push_back(nullptr);
}

// execvp's candidates for `file`: itself where it holds a slash, else each
// directory of the caller's PATH with it appended (an empty one is the
// working directory). 0, or the errno of a name that cannot be found.
int PrepareSearch(const char* file, Prepared& prepared) {
    const std::string_view name(file);
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string_view::npos) return 0;
    if (name.size() > NAME_MAX) return ENAMETOOLONG;
    const char* path = ::getenv("PATH");
    std::string_view dirs(path != nullptr ? path : kDefaultSearch);
    for (;;) {
        const size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        // One longer than any path cannot hold the file: execvp skips it.
        if (dir.size() < PATH_MAX) {
            prepared.searchPaths.push_back(dir.empty() ? std::string(name) : std::string(dir) + "/" + file);
        }
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    for (const std::string& candidate : prepared.searchPaths) prepared.searchPathPointers.push_back(candidate.c_str());
    prepared.searchPathPointers.push_back(nullptr);
    return 0;
}

// Moves `fd` above 2 (a daemon with 0, 1 and 2 closed gets those first): the
// child's dup3 onto 0, 1 and 2 must not meet its own sources there.
// 0 or errno.
int MoveAboveTwo(UniqueFd& fd) {
    if (fd.get() > 2) return 0;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    fd.reset(moved);
    return 0;
}

// A close-on-exec pipe, both ends above 2, the parent's end non-blocking
// (its own description: the program's end stays blocking). 0 or errno.
int MakePipe(UniqueFd& rd, UniqueFd& wr, bool parentReads) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    rd.reset(fds[0]);
    wr.reset(fds[1]);
    int err = MoveAboveTwo(rd);
    if (err == 0) err = MoveAboveTwo(wr);
    // A new pipe end has no other status flags to keep.
    if (err == 0 && ::fcntl(parentReads ? rd.get() : wr.get(), F_SETFL, O_NONBLOCK) != 0) err = errno;
    return err;
}

// The program's three descriptors, as the child will take them.
struct ChildEnds {
    UniqueFd in;
    UniqueFd out;
    UniqueFd err;

    void Close() {
        in.reset();
        out.reset();
        err.reset();
    }
};

// The pipes, and /dev/null as standard input without input; true, or false
// with the reason in `result`.
bool MakeStreams(const RunOptions& options, detail::CommandPipes& pipes, ChildEnds& child, RunResult& result) {
    int err = MakePipe(pipes.out, child.out, true);
    if (err == 0) err = MakePipe(pipes.err, child.err, true);
    if (err == 0 && !options.input.empty()) err = MakePipe(child.in, pipes.in, false);
    if (err != 0) {
        SetError(result.error, {"pipe failed: "}, err);
        return false;
    }
    if (options.input.empty()) {
        child.in.reset(detail::OpenRetrying("/dev/null", O_RDONLY | O_CLOEXEC));
        err = child.in.valid() ? MoveAboveTwo(child.in) : errno;
        if (err != 0) {
            SetError(result.error, {"open /dev/null failed: "}, err);
            return false;
        }
    }
    return true;
}

// Where neither close_range nor /proc/self/fd can be used, the child closes
// every descriptor below this.
int DescriptorLimit() {
    rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
    (void)::getrlimit(RLIMIT_NOFILE, &limit);  // fails only for a bad resource
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
}

void ReapFailedStart(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Runs `file` (searched for when `search`) with `args`; the deadline counts
// from `began`. Throws (std::bad_alloc) only before the start.
void Run(const char* file, bool search, const char* const* args, size_t count, const RunOptions& options,
         std::chrono::steady_clock::time_point began, RunResult& result) {
    if (InvalidOptions(options, result)) return;
    Prepared prepared;
    PrepareArgv(args, count, prepared);
    PrepareEnv(options, prepared);
    if (search) {
        const int err = PrepareSearch(file, prepared);
        if (err != 0) return SetError(result.error, {"exec ", file, " failed: "}, err);
    }
    // Uninitialised: the reads fill it.
    const std::unique_ptr<char[]> chunk(new char[detail::kReadChunkBytes]);
    detail::CommandPipes pipes;
    ChildEnds ends;
    if (!MakeStreams(options, pipes, ends, result)) return;

    detail::ShellStart start;
    start.stdinFd = ends.in.get();
    start.stdoutFd = ends.out.get();
    start.stderrFd = ends.err.get();
    start.path = file;
    start.argv = prepared.argv.data();
    start.envp = prepared.envp.data();
    start.ownProcessGroup = options.timeout.count() > 0;
    start.searchPaths = prepared.searchPathPointers.empty() ? nullptr : prepared.searchPathPointers.data();
    start.scriptArgv = prepared.scriptArgv.data();
    start.cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
    start.closeOtherFds = true;
    start.fdLimit = DescriptorLimit();
    start.defaultSignals = true;
    const detail::StartedShell started = detail::StartShell(start);
    // The program holds its ends as its own 0, 1 and 2 now (or never will);
    // the parent keeps a reader of the input pipe while it writes.
    if (pipes.in.valid()) pipes.inReader.reset(ends.in.release());
    ends.Close();
    UniqueFd handle(started.pidfd);
    if (started.error != 0) return SetError(result.error, {"fork failed: "}, started.error);
    if (started.execError != 0) {
        ReapFailedStart(started.pid);
        if (started.chdirFailed) return SetError(result.error, {"chdir ", start.cwd, " failed: "}, started.execError);
        return SetError(result.error, {"exec ", file, " failed: "}, started.execError);
    }
    result.started = true;

    detail::CommandLimits limits;
    limits.maxOutput = options.max_output;
    limits.deadline = detail::Deadline(options.timeout, began);
    // Without a pidfd, the child's /proc directory tells it from a process
    // that took its id after a reap elsewhere.
    if (!handle.valid()) handle.reset(detail::OpenProcHandle(started.pid));
    detail::WaitForCommand(started.pid, handle.get(), started.pidfd >= 0, pipes, options.input, limits, chunk.get(),
                           result);
}

// Run, with whatever it throws (memory, before the start) as the reason.
RunResult RunCatching(const char* file, bool search, const char* const* args, size_t count, const RunOptions& options,
                      std::chrono::steady_clock::time_point began) {
    RunResult result;
    try {
        Run(file, search, args, count, options, began, result);
    } catch (...) {
        result.started = false;
        SetError(result.error, {"prepare failed: "}, ENOMEM);
    }
    return result;
}

}  // namespace

RunResult RunCommand(const std::vector<std::string>& argv, const RunOptions& options) {
    const auto began = std::chrono::steady_clock::now();
    RunResult result;
    if (argv.empty()) {
        SetError(result.error, {"empty argv: "}, EINVAL);
        return result;
    }
    std::vector<const char*> args;
    try {
        for (size_t i = 0; i < argv.size(); ++i) {
            if (HasNul(argv[i])) {
                SetError(result.error, {"NUL byte in argv[", std::to_string(i), "]: "}, EINVAL);
                return result;
            }
        }
        args.reserve(argv.size());
    } catch (...) {
        SetError(result.error, {"prepare failed: "}, ENOMEM);
        return result;
    }
    for (const std::string& arg : argv) args.push_back(arg.c_str());
    return RunCatching(args[0], true, args.data(), args.size(), options, began);
}

RunResult RunShell(const std::string& command, const RunOptions& options) {
    const auto began = std::chrono::steady_clock::now();
    if (HasNul(command)) {
        RunResult result;
        SetError(result.error, {"NUL byte in the command: "}, EINVAL);
        return result;
    }
    const char* const args[] = {"sh", "-c", command.c_str()};
    return RunCatching(kShellPath, false, args, 3, options, began);
}

}  // namespace velmor_lic
