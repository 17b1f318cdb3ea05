#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

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

    // Exit status of a child process that tries to take the lock: 0 when it got it.
    int ChildTries() const {
        const pid_t pid = fork();
        if (pid == 0) {
            CInstanceLock lock(path_);
            _exit(lock.Acquire() && lock.Held() ? 0 : 1);
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

TEST_F(InstanceLock, PathInAMissingFolderFailsCleanly) {
    CInstanceLock lock(dir_ + "/missing/AVLO.lock");
    EXPECT_FALSE(lock.Acquire());
    EXPECT_FALSE(lock.Held());
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
}

}  // namespace
