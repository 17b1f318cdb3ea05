#include "web/Sessions.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class SessionsTest : public ::testing::Test {
protected:
    std::chrono::steady_clock::time_point now{};
    CSessions sessions{[this] { return now; }};
};

TEST_F(SessionsTest, TokenFindsItsSessionAndNothingElseDoes) {
    const auto alice = sessions.Create("alice", UserRole::Operator);
    const auto bob = sessions.Create("bob", UserRole::Viewer);
    EXPECT_EQ(alice.token.size(), 43u);
    EXPECT_NE(alice.token, bob.token);
    EXPECT_NE(alice.session.antiForgeryToken, bob.session.antiForgeryToken);
    EXPECT_NE(alice.token, alice.session.antiForgeryToken);

    const auto found = sessions.Use(alice.token);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->user, "alice");
    EXPECT_EQ(found->role, UserRole::Operator);
    EXPECT_EQ(found->antiForgeryToken, alice.session.antiForgeryToken);
    EXPECT_EQ(sessions.Use(bob.token)->user, "bob");

    std::string near = alice.token;
    near.back() = near.back() == 'A' ? 'B' : 'A';
    for (const std::string& wrong : {near, alice.token.substr(1), alice.token + "A", std::string(),
                                     alice.session.antiForgeryToken})
        EXPECT_FALSE(sessions.Use(wrong)) << wrong;
}

TEST_F(SessionsTest, SessionEndsAfterTwelveHoursIdleButNotWhileUsed) {
    const auto created = sessions.Create("alice", UserRole::Viewer);
    // Used every eleven hours, it lives on well past twelve.
    for (int i = 0; i < 3; ++i) {
        now += 11h;
        ASSERT_TRUE(sessions.Use(created.token)) << i;
    }
    now += 12h - 1s;
    EXPECT_TRUE(sessions.Use(created.token));
    now += 12h;
    EXPECT_FALSE(sessions.Use(created.token));
    // Gone for good, not only hidden at that moment.
    now -= 1h;
    EXPECT_FALSE(sessions.Use(created.token));
}

TEST_F(SessionsTest, SignOutAndRemovedAccountEndSessions) {
    const auto first = sessions.Create("alice", UserRole::Viewer);
    const auto second = sessions.Create("alice", UserRole::Viewer);
    const auto other = sessions.Create("bob", UserRole::Viewer);
    sessions.End(first.token);
    EXPECT_FALSE(sessions.Use(first.token));
    EXPECT_TRUE(sessions.Use(second.token));
    sessions.EndAllOf("alice");
    EXPECT_FALSE(sessions.Use(second.token));
    EXPECT_TRUE(sessions.Use(other.token));
}

TEST_F(SessionsTest, FullTableLetsTheLongestIdleSessionGo) {
    const auto first = sessions.Create("first", UserRole::Viewer);
    now += 1s;
    const auto second = sessions.Create("second", UserRole::Viewer);
    for (std::size_t i = 2; i < CSessions::MaxSessions; ++i) {
        now += 1s;
        sessions.Create("user" + std::to_string(i), UserRole::Viewer);
    }
    now += 1s;
    ASSERT_TRUE(sessions.Use(first.token));  // the second is now the longest idle
    now += 1s;
    const auto newest = sessions.Create("newest", UserRole::Viewer);
    EXPECT_FALSE(sessions.Use(second.token));
    EXPECT_TRUE(sessions.Use(first.token));
    EXPECT_TRUE(sessions.Use(newest.token));
}

// The server's threads share one table: each finds its own sessions while others come and go.
TEST(SessionsThreadsTest, ThreadsEachFindTheirOwnSessions) {
    CSessions sessions;
    std::vector<int> found(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string user = "user" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                const auto created = sessions.Create(user, UserRole::Viewer);
                const auto session = sessions.Use(created.token);
                if (session && session->user == user) ++found[t];
                if (i % 2 == 0) sessions.End(created.token);
                if (i % 50 == 0) sessions.EndAllOf(user);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(found[t], 200) << t;
}

TEST(SameTokenTest, EqualOnlyWhenWhollyEqual) {
    const std::string token = RandomToken();
    std::string lastDiffers = token;
    lastDiffers.back() ^= 1;
    EXPECT_TRUE(CSessions::SameToken(token, std::string(token)));
    EXPECT_FALSE(CSessions::SameToken(token, lastDiffers));
    EXPECT_FALSE(CSessions::SameToken(token, token.substr(0, 42)));
    EXPECT_FALSE(CSessions::SameToken(token, ""));
}

TEST(RandomTokenTest, TokensDoNotRepeatAndAreUrlSafe) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string token = RandomToken();
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789-_"),
                  std::string::npos)
            << token;
        EXPECT_TRUE(seen.insert(token).second);
    }
}

}  // namespace
