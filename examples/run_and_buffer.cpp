// Runs a command that fails and one that succeeds, and collects the outcome
// in a Buffer. Prints "ok" and exits 0 when the library behaves.
#include <cstdio>
#include <string>

#include <velmor_lic/lic_func.h>
#include <velmor_lic/str_buffer.h>

int main() {
    velmor_lic::Buffer report;
    std::string why;

    // ExecuteCmd returns true on failure and then explains in `why`.
    if (!velmor_lic::ExecuteCmd("echo broken >&2; exit 3", why)) return 1;
    report.Printf("failed as expected: %s", why.c_str());
    if (velmor_lic::ExecuteCmd("true", why)) return 1;

    if (report.IndexOf("[3],broken", 10) < 0) {
        std::fprintf(stderr, "unexpected text: %s\n", report.c_str());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
