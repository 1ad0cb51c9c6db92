// When a command is given up, on the monotonic clock. Internal to the
// library; not installed. (Inline: a unit of its own would be an object
// without arrays, which the hardening check of release builds, having no
// debug information to tell, takes for an unprotected one.)
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>

namespace velmor_lic {
namespace detail {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // `timeout` after `start`; zero or negative: no deadline.
    explicit Deadline(std::chrono::milliseconds timeout, Clock::time_point start = Clock::now())
        : armed_(timeout.count() > 0), at_(start) {
        // No arithmetic without a deadline: the most negative timeout would
        // overflow in the clock's units.
        if (!armed_) return;
        // A timeout beyond the clock's range is a deadline that never comes.
        const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - at_);
        at_ = timeout < room ? at_ + timeout : Clock::time_point::max();
    }

    // Whole milliseconds left, rounded up (a wake just before the deadline
    // would only wake again): 0 once passed, -1 without a deadline.
    int LeftMs() const {
        if (!armed_) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now());
        return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
    }

private:
    bool armed_;
    Clock::time_point at_;
};

}  // namespace detail
}  // namespace velmor_lic
