#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include "support/FileText.h"
#include "support/ScopedUmask.h"
#include "support/TempDir.h"
#include "web/UserStore.h"

namespace {

void WriteText(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

class UserStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.File("site.users");
    CUserStore store{path, PasswordCost::Minimal()};
};

TEST_F(UserStoreTest, AccountsSurviveASaveAndChecksTellRightFromWrong) {
    const ScopedUmask open(0);  // the file must be private whatever the umask
    ASSERT_TRUE(store.Add("alice", UserRole::Operator, "correct horse"));
    ASSERT_TRUE(store.Add("bob", UserRole::Viewer, "battery staple"));
    std::string failure;
    ASSERT_TRUE(store.Save(&failure)) << failure;
    EXPECT_EQ(PermissionsAt(path), 0600);
    // Passwords never reach the file, only their Argon2id hashes.
    const std::string text = FileText(path);
    EXPECT_EQ(text.find("correct horse"), std::string::npos);
    EXPECT_EQ(text.rfind("alice:operator:$argon2id$", 0), 0u) << text;
    EXPECT_NE(text.find("\nbob:viewer:$argon2id$"), std::string::npos) << text;

    CUserStore reread(path, PasswordCost::Minimal());
    ASSERT_TRUE(reread.Load(&failure)) << failure;
    ASSERT_EQ(reread.Accounts().size(), 2u);
    EXPECT_EQ(reread.Verify("alice", "correct horse"), UserRole::Operator);
    EXPECT_EQ(reread.Verify("bob", "battery staple"), UserRole::Viewer);
    EXPECT_EQ(reread.Verify("alice", "battery staple"), std::nullopt);
    EXPECT_EQ(reread.Verify("Alice", "correct horse"), std::nullopt);
    EXPECT_EQ(reread.Verify("carol", "correct horse"), std::nullopt);
    EXPECT_EQ(reread.Verify("alice", ""), std::nullopt);
}

TEST_F(UserStoreTest, RemovedAccountIsGoneAfterTheNextLoad) {
    ASSERT_TRUE(store.Add("alice", UserRole::Viewer, "correct horse"));
    ASSERT_TRUE(store.Add("bob", UserRole::Viewer, "battery staple"));
    EXPECT_TRUE(store.Remove("alice"));
    EXPECT_FALSE(store.Remove("alice"));
    ASSERT_TRUE(store.Save());
    CUserStore reread(path, PasswordCost::Minimal());
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.RoleOf("alice"), std::nullopt);
    EXPECT_EQ(reread.RoleOf("bob"), UserRole::Viewer);
}

TEST_F(UserStoreTest, NoFileIsNoAccounts) {
    std::string failure = "untouched";
    EXPECT_TRUE(store.Load(&failure));
    EXPECT_TRUE(store.Empty());
}

TEST_F(UserStoreTest, UnacceptableAccountsAreRefusedWithTheReason) {
    ASSERT_TRUE(store.Add("alice", UserRole::Viewer, "correct horse"));
    const struct {
        std::string name, password, reason;
    } cases[] = {
        {"", "correct horse", "empty"},
        {"has space", "correct horse", "spaces"},
        {"co:lon", "correct horse", "\":\""},
        {"tab\tname", "correct horse", "control"},
        {std::string(65, 'n'), "correct horse", "64 bytes"},
        {"carol", "short", "shorter than 8"},
        {"carol", std::string(1025, 'p'), "longer than 1024"},
        {"carol", "line\nbreak!", "line break"},
        {"alice", "another password", "exists already"},
    };
    for (const auto& c : cases) {
        std::string failure;
        EXPECT_FALSE(store.Add(c.name, UserRole::Viewer, c.password, &failure)) << c.name;
        EXPECT_NE(failure.find(c.reason), std::string::npos) << c.name << ": " << failure;
    }
    EXPECT_EQ(store.Accounts().size(), 1u);
}

// Whoever can read the file can try passwords offline; whoever can change it can add an
// account of their own. Such a file is not used at all.
TEST_F(UserStoreTest, FileThatIsNotPrivateOrNotWellFormedIsRefusedWhole) {
    ASSERT_TRUE(store.Add("alice", UserRole::Viewer, "correct horse"));
    ASSERT_TRUE(store.Save());
    const std::string good = FileText(path);
    const std::string hash = good.substr(good.find('$'), good.find('\n') - good.find('$'));
    const struct {
        const char* what;
        std::string text;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {"readable by others", good, 0644, "mode 0644"},
        {"writable by the group", good, 0620, "mode 0620"},
        {"readable by the group", good, 0640, "mode 0640"},
        {"unknown role", "alice:admin:" + hash + "\n", 0600, "line 1"},
        {"not a line of three fields", good + "bob\n", 0600, "line 2"},
        {"not an Argon2id hash", "alice:viewer:$argon2i$v=19$m=8,t=1,p=1$x$y\n", 0600, "line 1"},
        {"plain text password", "alice:viewer:correct horse\n", 0600, "line 1"},
    };
    for (const auto& c : cases) {
        WriteText(path, c.text, c.mode);
        CUserStore reread(path, PasswordCost::Minimal());
        std::string failure;
        EXPECT_FALSE(reread.Load(&failure)) << c.what;
        EXPECT_NE(failure.find(c.reason), std::string::npos) << c.what << ": " << failure;
        EXPECT_TRUE(reread.Empty()) << c.what;
    }
}

TEST_F(UserStoreTest, LinkAndOtherUsersFileAreRefused) {
    ASSERT_TRUE(store.Add("alice", UserRole::Viewer, "correct horse"));
    const std::string real = dir.File("elsewhere.users");
    CUserStore elsewhere(real, PasswordCost::Minimal());
    ASSERT_TRUE(elsewhere.Add("alice", UserRole::Viewer, "correct horse"));
    ASSERT_TRUE(elsewhere.Save());
    ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
    std::string failure;
    EXPECT_FALSE(store.Load(&failure));
    EXPECT_NE(failure.find("symbolic link"), std::string::npos) << failure;
    EXPECT_TRUE(store.Empty());

    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    ASSERT_EQ(chown(real.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(elsewhere.Load(&failure));
    EXPECT_NE(failure.find("another user"), std::string::npos) << failure;
}

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Each check at full strength fills 64 MiB; a burst of sign-ins (a script's requests with
// HTTP Basic) must queue rather than take that much memory each at the same time.
TEST(UserStoreMemoryTest, ChecksAtTheSameTimeShareABoundedAmountOfMemory) {
    TempDir dir;
    CUserStore store(dir.File("site.users"));
    ASSERT_TRUE(store.Add("alice", UserRole::Viewer, "correct horse"));
    const long before = PeakResidentKiB();  // one hash's worth is in it already
    std::vector<std::thread> threads;
    std::vector<int> matched(6, 0);
    for (std::size_t t = 0; t < matched.size(); ++t) {
        threads.emplace_back(
            [&, t] { matched[t] = store.Verify("alice", "correct horse") == UserRole::Viewer; });
    }
    for (std::thread& thread : threads) thread.join();
    for (const int m : matched) EXPECT_EQ(m, 1);
    const long growth = PeakResidentKiB() - before;
    EXPECT_LT(growth, CUserStore::MaxConcurrentChecks * 64 * 1024) << growth << " KiB";
}

TEST(UsersFilePathTest, SitsBesideTheSettingsWithItsOwnExtension) {
    EXPECT_EQ(UsersFilePath("/etc/avlo/site.ini"), "/etc/avlo/site.users");
    EXPECT_EQ(UsersFilePath("/home/u/.config/avlo-monitor/avlo-monitor.ini"),
              "/home/u/.config/avlo-monitor/avlo-monitor.users");
}

}  // namespace
