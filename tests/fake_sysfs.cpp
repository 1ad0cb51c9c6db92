#include "fake_sysfs.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velmor_test {
namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

void MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            ADD_FAILURE() << ErrnoText("mkdir " + prefix);
            return;
        }
        if (slash == std::string::npos) return;
    }
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

bool WriteAll(const char* path, const std::string& bytes) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

// Runs in the forked child only. Leaves it in a private mount namespace with
// `sys` bound over /sys; returns "" or the reason it could not.
std::string EnterPrivateSys(const char* sys) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        // Not privileged: a user namespace makes us root over our own mounts.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return ErrnoText("unshare");
        if (!WriteAll("/proc/self/setgroups", "deny") ||
            !WriteAll("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteAll("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return ErrnoText("user namespace id maps");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return ErrnoText("make / private");
    if (::mount(sys, "/sys", nullptr, MS_BIND | MS_REC, nullptr) != 0) return ErrnoText("bind fake tree over /sys");
    return std::string();
}

struct Child {
    pid_t pid = -1;
    std::string failure;  // why the child did not get to exec
    int status = 0;
};

// Forks a child that enters the namespace, points 0/1/2 at the given
// descriptors and execs argv (argv.empty(): exits 0 instead).
Child SpawnOverFakeSys(const std::string& sys, std::vector<char*> argv, int out_fd, int err_fd) {
    Child child;
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        child.failure = ErrnoText("pipe2");
        return child;
    }
    argv.push_back(nullptr);
    child.pid = ::fork();
    if (child.pid == 0) {
        ::close(report[0]);
        std::string why = EnterPrivateSys(sys.c_str());
        if (why.empty() && argv.size() == 1) ::_exit(0);
        if (why.empty()) {
            const int null_fd = ::open("/dev/null", O_RDONLY);
            ::dup2(null_fd, 0);
            if (out_fd < 0) ::close(1);
            ::dup2(out_fd, 1);
            ::dup2(err_fd, 2);
            ::execv(argv[0], argv.data());
            why = ErrnoText(std::string("exec ") + argv[0]);
        }
        (void)!::write(report[1], why.data(), why.size());
        ::_exit(127);
    }
    ::close(report[1]);
    if (child.pid < 0) {
        child.failure = ErrnoText("fork");
        ::close(report[0]);
        return child;
    }
    char buf[512];
    ssize_t n;
    while ((n = ::read(report[0], buf, sizeof buf)) != 0) {
        if (n > 0) child.failure.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR) break;
    }
    ::close(report[0]);
    while (::waitpid(child.pid, &child.status, 0) < 0 && errno == EINTR) {
    }
    return child;
}

}  // namespace

FakeSysfs::FakeSysfs() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fake_sysfs.XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    base_ = pattern;
    MakeDirs(sys());
}

FakeSysfs::~FakeSysfs() { ::nftw(base_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }

void FakeSysfs::WriteFile(const std::string& rel, const std::string& bytes) {
    const std::string path = sys() + "/" + rel;
    MakeDirs(Parent(path));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) ADD_FAILURE() << "cannot write " << path;
}

void FakeSysfs::MakeDir(const std::string& rel) { MakeDirs(sys() + "/" + rel); }

void FakeSysfs::MakeSymlink(const std::string& target, const std::string& rel) {
    const std::string path = sys() + "/" + rel;
    MakeDirs(Parent(path));
    if (::symlink(target.c_str(), path.c_str()) != 0) ADD_FAILURE() << ErrnoText("symlink " + path);
}

void FakeSysfs::SetModalias(const std::string& bytes) { WriteFile("class/dmi/id/modalias", bytes); }

void FakeSysfs::AddDisk(const std::string& name, const std::string& serial) {
    AddDiskWithoutSerial(name);
    WriteFile("devices/fake/" + name + "/serial", serial);
}

void FakeSysfs::AddDiskWithoutSerial(const std::string& name) {
    MakeDir("devices/fake/" + name);
    MakeSymlink("../../devices/fake/" + name, "block/" + name + "/device");
}

void FakeSysfs::AddUnbackedEntry(const std::string& name) { MakeDir("block/" + name); }

std::vector<std::string> FakeSysfs::ListBlockDir() const {
    std::vector<std::string> names;
    DIR* dir = ::opendir((sys() + "/block").c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::string WhyNoPrivateSys() {
    static const std::string why = [] {
        FakeSysfs probe;
        const Child child = SpawnOverFakeSys(probe.sys(), {}, -1, -1);
        if (!child.failure.empty()) return child.failure;
        if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0)
            return std::string("namespace probe child did not exit cleanly");
        return std::string();
    }();
    return why;
}

RunResult RunWithFakeSys(const std::string& binary, const FakeSysfs& tree, const std::vector<std::string>& args,
                         const char* stdout_path) {
    RunResult result;
    const std::string out_path = stdout_path ? stdout_path : tree.base() + "/stdout";
    const std::string err_path = tree.base() + "/stderr";
    const int out_fd = out_path.empty() ? -1 : ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if ((out_fd < 0 && !out_path.empty()) || err_fd < 0) {
        ADD_FAILURE() << ErrnoText("open capture files");
    } else {
        std::vector<std::string> words{binary};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        const Child child = SpawnOverFakeSys(tree.sys(), argv, out_fd, err_fd);
        if (!child.failure.empty()) ADD_FAILURE() << child.failure;
        if (child.failure.empty() && WIFEXITED(child.status)) result.exit_status = WEXITSTATUS(child.status);
    }
    if (out_fd >= 0) ::close(out_fd);
    if (err_fd >= 0) ::close(err_fd);
    if (stdout_path == nullptr) result.out = ReadWholeFile(out_path);
    result.err = ReadWholeFile(err_path);
    return result;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ADD_FAILURE() << "cannot read " << path;
        return std::string();
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

}  // namespace velmor_test
