// Growable byte buffer with separate read and write indices.
#pragma once

namespace velmor_lic {
}  // namespace velmor_lic
