// The account commands through the real program, as an administrator types them or a
// script pipes them.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/FileText.h"
#include "support/ScopedUmask.h"
#include "support/TempDir.h"
#include "web/UserStore.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class UserCommandsTest : public ::testing::Test {
protected:
    // Runs the program with args after --config, stdin from a file holding input (not a
    // terminal).
    Outcome Monitor(const std::string& args, const std::string& input = {}) {
        std::ofstream(dir.File("in")) << input;
        const std::string command = std::string(AVLO_MONITOR_BIN) + " --config " + config + " " +
                                    args + " <" + dir.File("in") + " >" + dir.File("out") + " 2>" +
                                    dir.File("err");
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, FileText(dir.File("out")),
                FileText(dir.File("err"))};
    }

    TempDir dir;
    std::string config = dir.File("site.ini");
    std::string users = dir.File("site.users");
};

TEST_F(UserCommandsTest, AddListRemoveThroughStandardInput) {
    const ScopedUmask open(0);  // inherited by the program: the file is private all the same
    Outcome run = Monitor("--add-user alice --role operator", "correct horse\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "User alice added as operator.\n");
    EXPECT_EQ(PermissionsAt(users), 0600);
    // In use the file holds full-strength hashes, not the cheap ones tests may choose.
    const std::string text = FileText(users);
    EXPECT_EQ(text.rfind("alice:operator:$argon2id$v=19$m=65536,t=2,p=1$", 0), 0u) << text;
    EXPECT_EQ(text.find("correct horse"), std::string::npos);

    run = Monitor("--add-user=bob --role=viewer", "pass with CR LF\r\n");
    ASSERT_EQ(run.status, 0) << run.err;
    CUserStore store(users);
    ASSERT_TRUE(store.Load());
    EXPECT_EQ(store.Verify("alice", "correct horse"), UserRole::Operator);
    EXPECT_EQ(store.Verify("bob", "pass with CR LF"), UserRole::Viewer);

    run = Monitor("--list-users");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "alice\toperator\nbob\tviewer\n");

    run = Monitor("--remove-user alice");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Monitor("--list-users").out, "bob\tviewer\n");
    run = Monitor("--remove-user alice");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no user named alice"), std::string::npos) << run.err;
}

TEST_F(UserCommandsTest, RefusalsSayWhyAndLeaveTheFileAlone) {
    ASSERT_EQ(Monitor("--add-user alice --role viewer", "correct horse\n").status, 0);
    const std::string before = FileText(users);
    const struct {
        const char* args;
        const char* input;
        int status;
        const char* says;
    } cases[] = {
        {"--add-user alice --role operator", "another password\n", 1, "exists already"},
        {"--add-user bob --role viewer", "short\n", 1, "shorter than 8"},
        {"--add-user bob --role viewer", "", 1, "no password given"},
        {"--add-user b:ob --role viewer", "correct horse\n", 1, "\":\""},
        {"--add-user bob", "correct horse\n", 2, "--role"},
        {"--add-user bob --role admin", "correct horse\n", 2, "not viewer or operator"},
    };
    for (const auto& c : cases) {
        const Outcome run = Monitor(c.args, c.input);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
        EXPECT_EQ(FileText(users), before) << c.args;
    }
}

TEST_F(UserCommandsTest, FileOthersCanReadIsNeitherUsedNorWrittenOver) {
    ASSERT_EQ(Monitor("--add-user alice --role viewer", "correct horse\n").status, 0);
    ASSERT_EQ(chmod(users.c_str(), 0644), 0);
    const std::string before = FileText(users);
    for (const char* args :
         {"--list-users", "--add-user bob --role viewer", "--remove-user alice"}) {
        const Outcome run = Monitor(args, "correct horse\n");
        EXPECT_EQ(run.status, 1) << args;
        EXPECT_NE(run.err.find("mode 0644"), std::string::npos) << args << ": " << run.err;
        EXPECT_EQ(run.out, "") << args;
    }
    EXPECT_EQ(FileText(users), before);
    EXPECT_EQ(PermissionsAt(users), 0644);
}

// Reads from the terminal's master side until text has appeared (or 20 s have passed).
bool ReadUntil(int master, std::string& seen, const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

TEST_F(UserCommandsTest, PasswordTypedAtATerminalIsAskedTwiceAndNeverEchoed) {
    for (const bool sameTwice : {true, false}) {
        const std::string name = sameTwice ? "carol" : "dave";
        int master = -1;
        const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            execl(AVLO_MONITOR_BIN, AVLO_MONITOR_BIN, "--config", config.c_str(), "--add-user",
                  name.c_str(), "--role", "viewer", nullptr);
            _exit(127);
        }
        std::string seen;
        ASSERT_TRUE(ReadUntil(master, seen, "Password for " + name + ": ")) << seen;
        ASSERT_EQ(write(master, "typed secret\n", 13), 13);
        ASSERT_TRUE(ReadUntil(master, seen, "The same password again: ")) << seen;
        const char* second = sameTwice ? "typed secret\n" : "typed secreT\n";
        ASSERT_EQ(write(master, second, 13), 13);
        ReadUntil(master, seen, sameTwice ? "added" : "differ");
        int status = 0;
        waitpid(child, &status, 0);
        close(master);
        EXPECT_EQ(seen.find("typed secre"), std::string::npos) << "echoed: " << seen;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), sameTwice ? 0 : 1) << seen;
        CUserStore store(users, PasswordCost::Minimal());
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.Verify(name, "typed secret").has_value(), sameTwice);
    }
}

}  // namespace
