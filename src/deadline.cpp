#include "deadline.h"

#include <algorithm>
#include <climits>

namespace velmor_lic {
namespace detail {

Deadline::Deadline(std::chrono::milliseconds timeout, Clock::time_point start)
    : armed_(timeout.count() > 0), at_(start) {
    // No arithmetic without a deadline: the most negative timeout would
    // overflow in the clock's units.
    if (!armed_) return;
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - at_);
    at_ = timeout < room ? at_ + timeout : Clock::time_point::max();
}

int Deadline::LeftMs() const {
    if (!armed_) return -1;
    // Up: a wake just before the deadline would only wake again.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

}  // namespace detail
}  // namespace velmor_lic
