// Runs a program without a shell, with input and a deadline, and a shell
// command that fails; checks every part of their results. Prints "ok" and
// exits 0 when the library behaves.
#include <chrono>
#include <cstdio>
#include <string>

#include <velmor_lic/run_cmd.h>

namespace {

bool Expect(bool holds, const char* what, const velmor_lic::RunResult& result) {
    if (!holds) {
        std::fprintf(stderr, "%s: exit %d, signal %d, out \"%s\", err \"%s\", error \"%s\"\n", what, result.exit_code,
                     result.signal, result.out.c_str(), result.err.c_str(), result.error.c_str());
    }
    return holds;
}

}  // namespace

int main() {
    velmor_lic::RunOptions options;
    options.input = "pear\napple\n";
    options.timeout = std::chrono::seconds(10);
    // "sort" is looked up in PATH; its argument reaches it as it is, unquoted.
    const velmor_lic::RunResult sorted = velmor_lic::RunCommand({"sort", "-"}, options);

    // A failure's code and its complaint, apart from the output.
    const velmor_lic::RunResult failed = velmor_lic::RunShell("echo partial; echo 'no disk' >&2; exit 3");

    // A program that is not there never starts, and says why.
    const velmor_lic::RunResult missing = velmor_lic::RunCommand({"/nonexistent/velmor-example"});

    const bool good =
        Expect(sorted.ok() && sorted.out == "apple\npear\n", "sort", sorted) &&
        Expect(!failed.ok() && failed.exit_code == 3 && failed.out == "partial\n" && failed.err == "no disk\n",
               "exit 3", failed) &&
        Expect(!missing.started && missing.error ==
                                       "exec /nonexistent/velmor-example failed: "
                                       "[2],No such file or directory",
               "missing program", missing);
    if (!good) return 1;
    std::printf("ok\n");
    return 0;
}
