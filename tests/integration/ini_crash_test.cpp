// A process killed while it saves its settings must leave the file it had or the file it was
// writing, never a mix or a stump. A child saves two large documents in turn without pause;
// the parent kills it at varying moments and checks the file after each kill.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/IniFile.h"

namespace {

namespace fs = std::filesystem;

constexpr int Rounds = 40;
constexpr int KeysPerDocument = 2000;

class CTempFolder {
public:
    CTempFolder() {
        std::string pattern = testing::TempDir() + "ini_crash_test.XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~CTempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Kills and reaps the child however the test leaves the round.
class CChild {
public:
    explicit CChild(pid_t pid) : pid_(pid) {}
    ~CChild() { Kill(); }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_;
};

CIniFile BigDocument(char tag) {
    CIniFile ini;
    for (int i = 0; i < KeysPerDocument; ++i) {
        const std::string section = "Device " + std::to_string(i / 40);
        ini.WriteString(section, "Key" + std::to_string(i), std::string(20 + i % 13, tag));
    }
    ini.WriteString("End", "Marker", std::string(1, tag));
    return ini;
}

// Saves b and a in turn until killed, and reports each save on the pipe.
[[noreturn]] void SaveForever(const CIniFile& a, const CIniFile& b, const std::string& path,
                              int reportFd) {
    for (;;) {
        for (const CIniFile* doc : {&b, &a}) {
            if (!doc->Save(path)) _exit(1);
            const char saved = 's';
            if (write(reportFd, &saved, 1) != 1) _exit(2);
        }
    }
}

bool WaitForFirstSave(int reportFd) {
    pollfd fd{reportFd, POLLIN, 0};
    char saved = 0;
    return poll(&fd, 1, 10000) == 1 && read(reportFd, &saved, 1) == 1;
}

// Reads the reports of a dead child up to the end of the pipe.
int CountReports(int reportFd) {
    int count = 0;
    char buffer[256];
    ssize_t n;
    while ((n = read(reportFd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) count += static_cast<int>(n);
    }
    return count;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(IniFileCrash, KilledSaveLeavesTheOldOrTheNewFileWhole) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    const CIniFile a = BigDocument('A');
    const CIniFile b = BigDocument('B');
    const std::string textA = a.Serialize();
    const std::string textB = b.Serialize();
    ASSERT_TRUE(a.Save(path));

    int saves = 0;
    int seenA = 0;
    int seenB = 0;
    for (int round = 0; round < Rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(report[0]);
            SaveForever(a, b, path, report[1]);
        }
        CChild child(pid);
        close(report[1]);
        // The read end stays open until the child is dead: closing it would end the child
        // with SIGPIPE at its next report, between two saves.
        const bool started = WaitForFirstSave(report[0]);
        if (started) {
            // 1 to 21 ms, spread over the rounds so that kills land in every step of a save.
            std::this_thread::sleep_for(std::chrono::microseconds(1000 + round * 7919 % 20000));
        }
        child.Kill();
        saves += 1 + CountReports(report[0]);
        close(report[0]);
        ASSERT_TRUE(started) << "the child never completed a save";

        const std::string text = ReadBytes(path);
        ASSERT_TRUE(text == textA || text == textB)
            << "file of " << text.size() << " bytes is neither whole document (" << textA.size()
            << " or " << textB.size() << " bytes)";
        (text == textA ? seenA : seenB)++;
    }
    std::cout << saves << " saves completed; whole A after " << seenA << " kills, whole B after "
              << seenB << "\n";

    // Temporaries of killed saves may stay behind, but only under their own names.
    for (const auto& entry : fs::directory_iterator(folder.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "settings.ini" || name.starts_with("settings.ini.tmp.")) << name;
    }
}

}  // namespace
