#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "platform/InstanceLock.h"
#include "platform/StartupOptions.h"
#include "support/ScopedEnv.h"
#include "support/ScopedUmask.h"

namespace {

// A lock file at path as another local user would leave it: theirs (user 65534), readable by
// everyone, and held by them (here: by a second open file of this process, which flock tells
// apart from any other).
class PlantedLock {
public:
    explicit PlantedLock(const std::string& path) : path_(path) {
        fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            why_ = std::strerror(errno);
        } else if (fchown(fd_, 65534, 65534) != 0) {
            why_ = std::strerror(errno);
        } else if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            why_ = std::string("flock: ") + std::strerror(errno);
        }
    }
    ~PlantedLock() {
        if (fd_ < 0) return;
        close(fd_);
        unlink(path_.c_str());
    }
    PlantedLock(const PlantedLock&) = delete;
    PlantedLock& operator=(const PlantedLock&) = delete;
    bool Owned() const { return fd_ >= 0 && why_.empty(); }
    const std::string& Why() const { return why_; }

private:
    std::string path_;
    int fd_ = -1;
    std::string why_;
};

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

TEST_F(InstanceLock, CreatesAFileOnlyItsUserCanOpenWhateverTheUmask) {
    for (const mode_t mask : {00, 002, 0277}) {
        SCOPED_TRACE(mask);
        std::filesystem::remove(path_);
        bool acquired = false;
        {
            const ScopedUmask scoped(mask);
            CInstanceLock lock(path_);
            acquired = lock.Acquire();
        }
        EXPECT_TRUE(acquired);
        EXPECT_EQ(PermissionsAt(path_), 0600);
    }
}

// Someone else's file at the path, even one held by another process, says nothing about a
// copy of this user; neither does a link, which would also have the lock make or lock any
// file it points at.
TEST_F(InstanceLock, AnotherUsersFileOrALinkIsAnErrorNotARunningCopy) {
    const std::string target = dir_ + "/target";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    CInstanceLock throughLink(path_);
    EXPECT_FALSE(throughLink.Acquire());
    EXPECT_EQ(throughLink.LastRefusal(), CInstanceLock::Refusal::Error);
    EXPECT_EQ(throughLink.ErrorText(),
              "cannot open or create the lock file " + path_ + ": " + std::strerror(ELOOP));
    EXPECT_FALSE(std::filesystem::exists(target));

    ASSERT_EQ(unlink(path_.c_str()), 0);
    const PlantedLock planted(path_);
    if (!planted.Owned()) GTEST_SKIP() << "cannot give a file to user 65534: " << planted.Why();
    CInstanceLock lock(path_);
    EXPECT_FALSE(lock.Acquire());
    EXPECT_EQ(lock.LastRefusal(), CInstanceLock::Refusal::Error);
    EXPECT_EQ(lock.ErrorText(), "the lock file " + path_ + " belongs to another user");
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

// One lock per user: the runtime folder when the session has one, else a folder of the
// user's own cache, so that another user's copy, or a file another user put in a shared
// place, never stands in the way; /tmp only for a user without any home.
TEST(DefaultLockPath, IsPerUser) {
    const std::string fallback = "/tmp/AVLO-" + std::to_string(getuid()) + ".lock";
    const std::nullopt_t unset = std::nullopt;
    const struct {
        std::optional<std::string> runtime, cache, home;
        std::string expected;
    } cases[] = {
        {"/run/user/1234", "/c", "/h", "/run/user/1234/AVLO.lock"},
        {unset, "/c", "/h", "/c/avlo-monitor/AVLO.lock"},
        {"", unset, "/h", "/h/.cache/avlo-monitor/AVLO.lock"},
        // relative folders are no valid runtime or cache folders
        {"relative/run", "relative/cache", "/h", "/h/.cache/avlo-monitor/AVLO.lock"},
        {unset, unset, unset, fallback},
        {unset, "", "", fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runtime.value_or("(unset)") + " " + c.cache.value_or("(unset)") + " " +
                     c.home.value_or("(unset)"));
        const ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
        const ScopedEnv cache("XDG_CACHE_HOME", c.cache);
        const ScopedEnv home("HOME", c.home);
        EXPECT_EQ(DefaultLockPath(), c.expected);
        EXPECT_EQ(ParseStartupOptions({}, "/opt/avlo/avlo-monitor").lockPath, c.expected);
    }
}

// Without a runtime folder the lock no longer lives in /tmp, where another user can put a
// held file or a link under the name first: it lives in a private folder of the user's cache,
// which the lock makes, whatever the umask.
TEST_F(InstanceLock, WithoutARuntimeFolderTheLockIsPrivateAndIgnoresWhatIsPlantedInTmp) {
    const std::string tmpName = "/tmp/AVLO-" + std::to_string(getuid()) + ".lock";
    if (std::filesystem::exists(std::filesystem::symlink_status(tmpName))) {
        GTEST_SKIP() << tmpName << " is in use here; planting one would disturb its owner";
    }
    const ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const ScopedEnv cache("XDG_CACHE_HOME", dir_ + "/cache");
    const std::string expected = dir_ + "/cache/avlo-monitor/AVLO.lock";
    const std::string linkTarget = dir_ + "/made-through-the-link";
    for (const bool plantLink : {true, false}) {
        SCOPED_TRACE(plantLink ? "a link in /tmp" : "another user's held file in /tmp");
        std::optional<PlantedLock> planted;
        if (plantLink) {
            ASSERT_EQ(symlink(linkTarget.c_str(), tmpName.c_str()), 0);
        } else {
            planted.emplace(tmpName);
            if (!planted->Owned()) GTEST_SKIP() << "cannot plant a file: " << planted->Why();
        }
        const std::string path = ParseStartupOptions({}, "/opt/avlo/avlo-monitor").lockPath;
        bool acquired = false;
        {
            const ScopedUmask scoped(0);
            CInstanceLock lock(path, CInstanceLock::Folder::MakePrivate);
            acquired = lock.Acquire();
            EXPECT_EQ(lock.ErrorText(), "");
        }
        if (plantLink) unlink(tmpName.c_str());
        EXPECT_TRUE(acquired);
        EXPECT_EQ(path, expected);
        EXPECT_EQ(PermissionsAt(dir_ + "/cache"), 0700);
        EXPECT_EQ(PermissionsAt(dir_ + "/cache/avlo-monitor"), 0700);
        EXPECT_EQ(PermissionsAt(expected), 0600);
        EXPECT_FALSE(std::filesystem::exists(linkTarget));
    }
}

// A folder that is there already is the user's: the lock neither changes nor needs it made.
TEST_F(InstanceLock, AnExistingFolderKeepsItsPermissions) {
    ASSERT_EQ(mkdir((dir_ + "/shared").c_str(), 0755), 0);
    const std::string path = dir_ + "/shared/new/AVLO.lock";
    const ScopedUmask scoped(0);
    CInstanceLock lock(path, CInstanceLock::Folder::MakePrivate);
    EXPECT_TRUE(lock.Acquire()) << lock.ErrorText();
    EXPECT_EQ(PermissionsAt(dir_ + "/shared"), 0755);
    EXPECT_EQ(PermissionsAt(dir_ + "/shared/new"), 0700);
}

}  // namespace
