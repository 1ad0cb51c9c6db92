// When a command is given up, on the monotonic clock. Internal to the
// library; not installed.
#pragma once

#include <chrono>

namespace velmor_lic {
namespace detail {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // `timeout` after `start`; zero or negative: no deadline. A timeout
    // beyond the clock's range is a deadline that never comes.
    explicit Deadline(std::chrono::milliseconds timeout, Clock::time_point start = Clock::now());

    // Whole milliseconds left, rounded up: 0 once passed, -1 without a deadline.
    int LeftMs() const;

private:
    bool armed_;
    Clock::time_point at_;
};

}  // namespace detail
}  // namespace velmor_lic
