#include "lic_func.h"

#include <cstdio>
#include <cstdlib>

namespace velmor_lic {

namespace detail {
void string_sprintf_failed() {
    // Spelled like an assertion so the message reads the same in every build type.
    std::fprintf(stderr, "string_sprintf: Assertion `length >= 0' failed.\n");
    std::abort();
}
}  // namespace detail

// ---- CPU identification ----------------------------------------------------

// ---- Sysfs identity probes -------------------------------------------------

// ---- String utilities ------------------------------------------------------

// ---- Command execution -----------------------------------------------------

}  // namespace velmor_lic
