// The password's own memory: left out of core dumps, and the copies made to send it wiped.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "notify/SmtpSecret.h"

namespace {

// The VmFlags line of the mapping that holds `address`, from /proc/self/smaps.
std::string FlagsOfMapping(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-' &&
            line.find(' ') != std::string::npos && line.find(':') > line.find(' ')) {
            inside = at >= from && at < to;
            continue;
        }
        if (inside && line.starts_with("VmFlags:")) return line;
    }
    return {};
}

TEST(SmtpSecretTest, ThePasswordLivesInPagesThatACoreDumpLeavesOut) {
    const CSmtpSecret secret("c0rrect h\xC3\xB6rse");
    EXPECT_EQ(secret.View(), "c0rrect h\xC3\xB6rse");
    const std::string flags = FlagsOfMapping(secret.Address());
    ASSERT_FALSE(flags.empty()) << "no mapping found for the secret";
    EXPECT_NE((flags + " ").find(" dd "), std::string::npos) << flags;
    // A copy gets pages of its own, left out as well.
    const CSmtpSecret copy(secret);
    EXPECT_NE(copy.Address(), secret.Address());
    EXPECT_EQ(copy.View(), secret.View());
    EXPECT_NE((FlagsOfMapping(copy.Address()) + " ").find(" dd "), std::string::npos);
}

TEST(SmtpSecretTest, EmptyAndClearedSecretsHoldNothing) {
    CSmtpSecret secret;
    EXPECT_TRUE(secret.Empty());
    secret.Assign("pw");
    EXPECT_FALSE(secret.Empty());
    secret.Clear();
    EXPECT_TRUE(secret.Empty());
    EXPECT_EQ(secret.View(), "");
    std::string line = "AUTH PLAIN AHVzZXIAcHc=";
    const char* bytes = line.data();
    const std::size_t size = line.size();
    WipeString(line);
    EXPECT_TRUE(line.empty());
    // The bytes themselves are overwritten, not only the length reset.
    EXPECT_EQ(std::string(bytes, size), std::string(size, '\0'));
}

}  // namespace
