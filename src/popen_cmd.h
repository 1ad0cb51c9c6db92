// File and descriptor helpers, the process status record and the child
// command runner.
#pragma once

namespace velmor_lic {
}  // namespace velmor_lic
