// When a command is given up, on the monotonic clock. Internal to the
// library; not installed.
#pragma once

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

    // Whole milliseconds left, rounded up: 0 once passed, -1 without a deadline.
    int LeftMs() const {
        if (!armed_) return -1;
        const auto left = at_ - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left);
        if (ms < left) ++ms;  // up: a wake just before the deadline would only wake again
        return ms.count() > INT_MAX ? INT_MAX : static_cast<int>(ms.count());
    }

private:
    bool armed_;
    Clock::time_point at_;
};

}  // namespace detail
}  // namespace velmor_lic
