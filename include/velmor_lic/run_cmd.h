// Running a program to its end and getting its whole result: exit code or
// signal, standard output and standard error apart, with an optional deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// The library is compiled with hidden visibility; what this header declares
// is its exported interface.
#pragma GCC visibility push(default)
namespace velmor_lic {

struct RunOptions {
    // Positive: a deadline. The command runs as the leader of a process group of its own; when it has
    // not ended `timeout` after the call began, every process of that group and the command itself get
    // SIGKILL, the command is reaped and the result says timed_out. Zero or negative: no deadline, no
    // group of its own.
    std::chrono::milliseconds timeout{0};
    // Bytes written to the command's standard input, which is then closed. Empty (the default): the
    // command's standard input is /dev/null.
    std::string input;
    // The command's working directory; empty: the caller's.
    std::string cwd;
    // NAME=VALUE entries set for the command on top of the caller's environment (an entry replaces the
    // caller's variable of that NAME; of two entries with one NAME the last wins); with clear_env, the
    // command's whole environment.
    std::vector<std::string> env;
    bool clear_env = false;
    // The most bytes kept of each of standard output and standard error; beyond it the rest is still
    // read (the command never blocks on a full pipe) and dropped, and *_truncated is set.
    std::size_t max_output = 16u << 20;
};

struct RunResult {
    bool started = false;    // the program ran; false: it never did, `error` says why
    int exit_code = -1;      // its exit code when it exited (0..255); -1 otherwise
    int signal = 0;          // the signal that ended it; 0 when it exited
    bool timed_out = false;  // ended at the deadline (signal is then SIGKILL)
    std::string out;         // its standard output, byte for byte (at most max_output bytes)
    std::string err;         // its standard error, apart from the output
    bool out_truncated = false;
    bool err_truncated = false;
    std::string error;  // why it could not be started or its end observed; empty otherwise
    bool ok() const { return started && error.empty() && !timed_out && signal == 0 && exit_code == 0; }
};

// Runs the program argv[0] with the arguments argv[1..] as they are, without a shell. A name without a
// slash is looked up in the caller's PATH ("/bin:/usr/bin" when unset) as glibc's execvp does, even
// when `env` sets another PATH for the program: a file found but not executable is reported only when
// nothing else is found, and one the kernel does not know how to run (no "#!") is run by /bin/sh. A
// name with a slash is taken relative to cwd.
//
// The program starts with 0, 1 and 2 as its only descriptors (no other descriptor of the caller
// reaches it, close-on-exec or not), every signal at its default disposition and none blocked, and in
// the caller's process group unless there is a deadline. The call returns once the program has ended
// and what its pipes held at that moment is read: a process it left behind holding them does not delay
// the return, and is left alone (only a deadline kills). Input the program does not read is dropped.
//
// Failures, in `error` as what failed and "[errno],<strerror text>":
//  - never started (started == false): "empty argv: [22],...", "NUL byte in argv[N]: [22],...", the
//    same for "cwd", "env[N]" and RunShell's "the command", "no NAME= in env[N]: [22],..." (EINVAL);
//    "exec <argv[0]> failed: [2],No such file or directory" for a program that cannot be executed
//    (not found, not executable, E2BIG, ...); "chdir <cwd> failed: ..."; "pipe failed: ...",
//    "open /dev/null failed: ...", "fork failed: ..."; "prepare failed: [12],..." (no memory).
//  - started, but its end not observable (SIGCHLD ignored, or the child reaped elsewhere):
//    exit_code -1, signal 0, "waitpid <pid> failed: [10],No child processes".
//  - started, its output not kept whole for want of memory: *_truncated set, "keep output failed:
//    [12],Cannot allocate memory".
// Never throws; prints nothing; raises no SIGPIPE; safe to call from any number of threads at once,
// also in a process whose descriptors 0, 1 and 2 are closed (they stay closed).
RunResult RunCommand(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// The same for a shell command line: /bin/sh -c command. A command the shell cannot find gives
// exit code 127 and the shell's complaint in `err`.
RunResult RunShell(const std::string& command, const RunOptions& options = RunOptions());

}  // namespace velmor_lic
#pragma GCC visibility pop
