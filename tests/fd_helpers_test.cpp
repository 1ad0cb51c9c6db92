#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "popen_cmd.h"
#include "runner_test_support.h"

using namespace velmor_lic;

namespace {

class FdHelpersTest : public runner_test::LeakCheckedTest {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fd_helpers_test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        LeakCheckedTest::SetUp();
    }
    void TearDown() override {
        LeakCheckedTest::TearDown();
        (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string MakeFile(const std::string& name, size_t size) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << std::string(size, 'a');
        return path;
    }

    std::string dir_;
};

TEST_F(FdHelpersTest, SetFdCloexecSetsTheFlagAndKeepsIt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(SetFdCloexec(fds[0]));
        EXPECT_EQ(::fcntl(fds[0], F_GETFD), FD_CLOEXEC);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(FdHelpersTest, SetFdCloexecOnClosedFdPrintsWithoutLineBreak) {
    runner_test::StderrCapture err;
    EXPECT_FALSE(SetFdCloexec(1000));
    EXPECT_EQ(err.Text(), "fcntl F_GETFD error:[9:Bad file descriptor]");
}

TEST_F(FdHelpersTest, ReadBufferFromFileKeepsAtMostLimitMinusOneBytes) {
    const struct {
        size_t size;
        size_t readable;
    } cases[] = {{300, 300}, {5000, 1023}, {0, 0}, {1023, 1023}, {1024, 1023}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = MakeFile("f" + std::to_string(c.size), c.size);
        Buffer buf;
        char errbuf[1024] = {};
        ASSERT_TRUE(ReadBufferFromFile(path.c_str(), buf, 1024, errbuf));
        EXPECT_EQ(buf.ReadableBytes(), c.readable);
        EXPECT_EQ(std::string(buf.c_str()), std::string(c.readable, 'a'));
        EXPECT_STREQ(errbuf, "");
    }
}

TEST_F(FdHelpersTest, ReadBufferFromFileOnMissingFileLeavesBufferUntouched) {
    const std::string path = dir_ + "/missing";
    Buffer buf;
    buf.Write("zz", 2);
    char errbuf[1024] = {};
    EXPECT_FALSE(ReadBufferFromFile(path.c_str(), buf, 1024, errbuf));
    EXPECT_EQ(std::string(errbuf), "open file[" + path + "] fail[2,No such file or directory]");
    EXPECT_EQ(buf.AsString(), "zz");
}

TEST_F(FdHelpersTest, ReadBufferFromFileOnNullNameFailsAsBadAddress) {
    Buffer buf;
    char errbuf[1024] = {};
    EXPECT_FALSE(ReadBufferFromFile(nullptr, buf, 1024, errbuf));
    EXPECT_EQ(std::string(errbuf), "open file[(null)] fail[14,Bad address]");
    EXPECT_EQ(buf.ReadableBytes(), 0u);
}

TEST_F(FdHelpersTest, ReadBufferFromFileOnDirectoryClearsAndCloses) {
    Buffer buf;
    buf.Write("zz", 2);
    char errbuf[1024] = {};
    EXPECT_FALSE(ReadBufferFromFile(dir_.c_str(), buf, 1024, errbuf));
    EXPECT_EQ(std::string(errbuf), "readn file[" + dir_ + "] fail[21,Is a directory]");
    EXPECT_EQ(buf.ReadableBytes(), 0u);
    EXPECT_EQ(buf.GetWriteIndex(), 0u);
}

TEST_F(FdHelpersTest, ReadBufferFromFDReadsUntilEndOfFile) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
    ::close(fds[1]);
    Buffer buf;
    EXPECT_EQ(ReadBufferFromFD(fds[0], buf, 100), 10u);
    EXPECT_EQ(buf.AsString(), "0123456789");
    ::close(fds[0]);
}

TEST_F(FdHelpersTest, ReadBufferFromFDNeverWritesPastTheFreeSpace) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], std::string(50, 'b').data(), 50), 50);
    Buffer buf(static_cast<size_t>(16));
    EXPECT_EQ(ReadBufferFromFD(fds[0], buf, 100), 16u);
    EXPECT_EQ(buf.AsString(), std::string(16, 'b'));
    ::close(fds[0]);
    ::close(fds[1]);
}

// A non-blocking descriptor with nothing in it yet: the read waits for the
// bytes without spinning, and the result is as for a blocking one.
TEST_F(FdHelpersTest, ReadBufferFromFDWaitsOnANonBlockingDescriptor) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    std::thread writer([fd = fds[1]] {
        ::usleep(300000);
        (void)!::write(fd, "late", 4);
        ::close(fd);
    });
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    Buffer buf;
    EXPECT_EQ(ReadBufferFromFD(fds[0], buf, 100), 4u);
    ::getrusage(RUSAGE_SELF, &after);
    writer.join();
    EXPECT_EQ(buf.AsString(), "late");
    const auto cpu_us = [](const rusage& u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    // Asking again at once would burn the whole 0.3 s.
    EXPECT_LT(cpu_us(after) - cpu_us(before), 100000L);
    ::close(fds[0]);
}

// An open that a signal interrupts (a FIFO waits for its writer) is asked
// again, not failed with EINTR.
TEST_F(FdHelpersTest, ReadBufferFromFileRetriesAnInterruptedOpen) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string result = runner_test::RunInChild([&fifo]() -> std::string {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        ::pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the writer thread never takes it
        std::thread writer([&fifo] {
            ::usleep(100000);
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            (void)!::write(fd, "fifo", 4);
            ::close(fd);
        });
        ::pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        struct sigaction tick {};
        tick.sa_handler = [](int) {};  // no SA_RESTART
        const itimerval often{{0, 10000}, {0, 10000}};
        ::sigaction(SIGALRM, &tick, nullptr);
        ::setitimer(ITIMER_REAL, &often, nullptr);
        Buffer buf;
        char errbuf[1024] = {};
        const bool read = ReadBufferFromFile(fifo.c_str(), buf, 100, errbuf);
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        writer.join();
        if (!read) return std::string("failed: ") + errbuf;
        return buf.AsString() == "fifo" ? "" : "read \"" + buf.AsString() + "\"";
    });
    EXPECT_EQ(result, "");
}

TEST_F(FdHelpersTest, ReadBufferFromFDReportsReadErrors) {
    Buffer buf;
    EXPECT_EQ(ReadBufferFromFD(-1, buf, 10), static_cast<size_t>(-1));
    EXPECT_EQ(buf.GetWriteIndex(), 0u);
}

TEST_F(FdHelpersTest, GetClockMonoMSecCountsMilliseconds) {
    const uint64_t before = GetClockMonoMSec();
    ::usleep(20000);
    const uint64_t elapsed = GetClockMonoMSec() - before;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 20000u);  // milliseconds, not microseconds
}

TEST_F(FdHelpersTest, ConvertToAbsolutePathResolvesOrGivesEmpty) {
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
    const std::string target = MakeFile("target", 1);
    ASSERT_EQ(::symlink(target.c_str(), (dir_ + "/link").c_str()), 0);
    char real_target[PATH_MAX];
    ASSERT_NE(::realpath(target.c_str(), real_target), nullptr);

    EXPECT_EQ(ConvertToAbsolutePath("."), cwd);
    EXPECT_EQ(ConvertToAbsolutePath((dir_ + "/link").c_str()), real_target);
    EXPECT_EQ(ConvertToAbsolutePath((dir_ + "/./x/../link").c_str()), "");  // x is missing
    EXPECT_EQ(ConvertToAbsolutePath((dir_ + "/missing").c_str()), "");
    EXPECT_EQ(ConvertToAbsolutePath(nullptr), "");
}

TEST_F(FdHelpersTest, ConvertToAbsolutePathResolvesPathsLongerThan2048Bytes) {
    std::string path = dir_;
    while (path.size() <= 2600) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    const std::string resolved = ConvertToAbsolutePath(path.c_str());
    EXPECT_GT(resolved.size(), 2600u);
    EXPECT_EQ(resolved.substr(resolved.size() - 201), "/" + std::string(200, 'd'));
}

}  // namespace
