// File and descriptor helpers: close-on-exec, bounded reads into a Buffer,
// the monotonic clock and path resolution.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "eintr_retry.h"
#include "popen_cmd.h"
#include "unique_fd.h"

namespace velmor_lic {

namespace {

// A non-blocking descriptor with nothing to read: sleeps until it has some
// (or is at its end), instead of asking again at once. Where poll itself
// fails, a short pause keeps the retry from spinning.
void WaitUntilReadable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&ready, 1, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) detail::SleepMicros(1000);
}

}  // namespace

bool SetFdCloexec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags == -1) {
        const int err = errno;
        std::fprintf(stderr, "fcntl F_GETFD error:[%d:%s]", err, std::strerror(err));
        return false;
    }
    // Already set (the runner's pipes are made so): nothing to write.
    if ((flags & FD_CLOEXEC) != 0) return true;
    if (::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
        const int err = errno;
        std::fprintf(stderr, "fcntl F_SETFD error:[%d:%s]", err, std::strerror(err));
        return false;
    }
    return true;
}

size_t ReadBufferFromFD(int fd, Buffer& fdbuff, size_t buflen) {
    // Never past the free space, whatever the caller asked for.
    const size_t total = std::min({buflen, fdbuff.WriteableBytes(), static_cast<size_t>(INT_MAX)});
    size_t wanted = total;
    char* dest = const_cast<char*>(fdbuff.GetRawBuffer()) + fdbuff.GetWriteIndex();
    while (wanted > 0) {
        const ssize_t n = ::read(fd, dest, wanted);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return static_cast<size_t>(-1);
            WaitUntilReadable(fd);
            continue;
        }
        if (n == 0) break;
        wanted -= static_cast<size_t>(n);
        dest += n;
    }
    const size_t count = total - wanted;
    fdbuff.AdvanceWriteIndex(static_cast<int>(count));
    return count;
}

bool ReadBufferFromFile(const char* fileName, Buffer& fdbuff, size_t buflen, char* errbuf) {
    const char* shown = fileName ? fileName : "(null)";
    // Close-on-exec so that a fork elsewhere in the process cannot inherit it.
    // A null name fails as the kernel would fail it, without handing it to open.
    const detail::UniqueFd file(fileName ? detail::OpenRetrying(fileName, O_RDONLY | O_CLOEXEC) : (errno = EFAULT, -1));
    if (!file.valid()) {
        const int err = errno;
        // Cut to the caller's 1024 bytes by contract.
        (void)std::snprintf(errbuf, 1024, "open file[%s] fail[%d,%s]", shown, err, std::strerror(err));
        return false;
    }
    // One byte stays free for the terminator that c_str() writes.
    const size_t limit = buflen > 0 ? buflen - 1 : 0;
    if (ReadBufferFromFD(file.get(), fdbuff, limit) == static_cast<size_t>(-1)) {
        const int err = errno;
        (void)std::snprintf(errbuf, 1024, "readn file[%s] fail[%d,%s]", shown, err, std::strerror(err));
        fdbuff.Clear();
        return false;
    }
    return true;
}

uint64_t GetClockMonoMSec() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

std::string ConvertToAbsolutePath(const char* path) {
    if (path == nullptr) return std::string();
    // realpath sizes the result itself: no fixed area to overrun.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
    if (!resolved) return std::string();
    return std::string(resolved.get());
}

}  // namespace velmor_lic
