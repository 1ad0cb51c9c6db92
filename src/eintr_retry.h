// Blocking system calls that a signal may interrupt, retried to completion.
// Every open and every pause of the library goes through these. Not installed.
#pragma once

#include <fcntl.h>
#include <time.h>

#include <cerrno>

namespace velmor_lic {
namespace detail {

// open/openat, again while interrupted; -1 with errno as the call left it.
inline int OpenRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

inline int OpenAtRetrying(int dirfd, const char* path, int flags) {
    int fd;
    do {
        fd = ::openat(dirfd, path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Sleeps the whole pause, whatever signal handlers run in between.
inline void SleepMicros(unsigned long us) {
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace detail
}  // namespace velmor_lic
