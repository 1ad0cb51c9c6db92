// Shared by the runner tests: the helper program, descriptor snapshots,
// zombie checks and checks run in a forked child of the test.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace runner_test {

#ifdef CHILD_HELPER_PATH
// "'<helper>' args": a command line running the helper program.
inline std::string Helper(const std::string& args) { return std::string("'") + CHILD_HELPER_PATH + "' " + args; }
#endif

// Descriptor number -> what it points to, without the listing's own one.
inline std::map<int, std::string> OpenFds() {
    std::map<int, std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == ::dirfd(dir)) continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof(target) - 1) < 0) continue;
        fds[fd] = target;
    }
    ::closedir(dir);
    return fds;
}

// True when the test process has no child left, running or unreaped.
inline bool NoChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

// Runs `body` in a forked child and returns its result as the child's exit
// code (-1 if the child did not exit normally). The child never returns into
// the test framework; it ends with _exit.
inline int RunInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Fixture base: every case must leave the descriptors as they were and no
// child behind.
class LeakCheckedTest : public testing::Test {
protected:
    void SetUp() override { fds_before_ = OpenFds(); }
    void TearDown() override {
        EXPECT_EQ(OpenFds(), fds_before_);
        EXPECT_TRUE(NoChildLeft());
    }

private:
    std::map<int, std::string> fds_before_;
};

// Exit code of a forked check that could not set up its conditions.
constexpr int kSkipped = 77;

}  // namespace runner_test
