#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/InstanceLock.h"
#include "platform/StartupOptions.h"

namespace {

class InstanceLock : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/avlo-lock-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/AVLO.lock";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Exit status of a child process that tries to take the lock: 0 when it got it, 1 when
    // another holds it, 2 for any other failure.
    int ChildTries() const {
        const pid_t pid = fork();
        if (pid == 0) {
            CInstanceLock lock(path_);
            if (lock.Acquire() && lock.Held()) _exit(0);
            _exit(lock.LastRefusal() == CInstanceLock::Refusal::HeldByAnother ? 1 : 2);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(InstanceLock, CreatesTheFileWithTheUmaskApplied) {
    const mode_t old = umask(002);
    CInstanceLock lock(path_);
    const bool acquired = lock.Acquire();
    umask(old);
    ASSERT_TRUE(acquired);
    EXPECT_TRUE(lock.Held());
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST_F(InstanceLock, SecondObjectInTheSameProcessIsRefusedUntilTheFirstGoes) {
    auto first = std::make_unique<CInstanceLock>(path_);
    ASSERT_TRUE(first->Acquire());
    EXPECT_TRUE(first->Acquire());  // asking again keeps it
    CInstanceLock second(path_);
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.LastRefusal(), CInstanceLock::Refusal::HeldByAnother);
    EXPECT_EQ(second.ErrorText(), "");
    first.reset();
    EXPECT_TRUE(second.Acquire());
    EXPECT_TRUE(second.Held());
}

TEST_F(InstanceLock, AnotherProcessIsRefusedWhileHeldAndGetsItAfter) {
    auto held = std::make_unique<CInstanceLock>(path_);
    ASSERT_TRUE(held->Acquire());
    EXPECT_EQ(ChildTries(), 1);
    held.reset();
    EXPECT_EQ(ChildTries(), 0);
}

TEST_F(InstanceLock, EndOfTheHoldingProcessReleasesIt) {
    // The child takes the lock and ends without running any destructor, as a crash would.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto* lock = new CInstanceLock(path_);
        _exit(lock->Acquire() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    CInstanceLock lock(path_);
    EXPECT_TRUE(lock.Acquire());
}

// A lock that cannot be taken at all is not a running copy: the failure says what failed,
// where and why, and nothing is created on the way.
TEST_F(InstanceLock, PathThatCannotBeOpenedIsAFailureOfItsOwnNotARunningCopy) {
    ASSERT_TRUE(std::ofstream(dir_ + "/plain-file").good());
    const struct {
        const char* what;
        std::string path;
        int error;
    } cases[] = {
        {"missing folder", dir_ + "/missing/AVLO.lock", ENOENT},
        {"a folder at the path", dir_, EISDIR},
        {"a file in place of the folder", dir_ + "/plain-file/AVLO.lock", ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CInstanceLock lock(c.path);
        EXPECT_FALSE(lock.Acquire());
        EXPECT_FALSE(lock.Held());
        EXPECT_EQ(lock.LastRefusal(), CInstanceLock::Refusal::Error);
        EXPECT_EQ(lock.ErrorText(),
                  "cannot open or create the lock file " + c.path + ": " + std::strerror(c.error));
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
}

// A folder the user may not write to (a protected /tmp, someone else's runtime folder). Root
// may write anywhere, so as root the attempt is made by a child that has given up root.
TEST_F(InstanceLock, FolderWithoutWritePermissionIsAFailureOfItsOwn) {
    const std::string folder = dir_ + "/read-only";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
    const std::string path = folder + "/AVLO.lock";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        CInstanceLock lock(path);
        const bool acquired = lock.Acquire();
        const std::string text = lock.ErrorText();
        if (write(pipeFds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(3);
        _exit(acquired ? 0 : lock.LastRefusal() == CInstanceLock::Refusal::Error ? 2 : 1);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << text;
    EXPECT_EQ(text, "cannot open or create the lock file " + path + ": " + std::strerror(EACCES));
}

// One lock per user: the runtime folder when the session has one, else a name with the user
// number in /tmp, so that another user's copy, or a lock file another user left behind,
// never stands in the way.
TEST(DefaultLockPath, IsPerUser) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    const std::string fallback = "/tmp/AVLO-" + std::to_string(getuid()) + ".lock";
    const struct {
        const char* runtime;  // nullptr: unset
        std::string expected;
    } cases[] = {
        {"/run/user/1234", "/run/user/1234/AVLO.lock"},
        {nullptr, fallback},
        {"", fallback},
        {"relative/run", fallback},  // a relative folder is no valid runtime folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runtime ? c.runtime : "(unset)");
        if (c.runtime) {
            setenv("XDG_RUNTIME_DIR", c.runtime, 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        EXPECT_EQ(DefaultLockPath(), c.expected);
        EXPECT_EQ(ParseStartupOptions({}, "/opt/avlo/avlo-monitor").lockPath, c.expected);
    }
    if (saved) {
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

}  // namespace
