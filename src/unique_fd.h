// The one owner of a raw descriptor inside the library. Not installed.
#pragma once

#include <unistd.h>

namespace velmor_lic {
namespace detail {

// Closes its descriptor on every way out, exceptions included, unless it was
// released first. Not copyable: exactly one owner closes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes what it held (the result of close is of no use to anyone: the
    // descriptor is gone either way) and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Hands the descriptor to a new owner without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

}  // namespace detail
}  // namespace velmor_lic
