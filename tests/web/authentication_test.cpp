#include "web/Authentication.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

const std::string Peer = "127.0.0.7";

class AuthenticationTest : public ::testing::Test {
protected:
    AuthenticationTest() {
        users.Add("alice", UserRole::Operator, "correct horse");
        users.Add("bob", UserRole::Viewer, "pass:with:colons");
    }

    std::string SignInCookie(const std::string& user, const std::string& password) {
        const AuthResult result = auth.SignIn(user, password, Peer);
        return result.setCookie.substr(0, result.setCookie.find(';'));
    }

    TempDir dir;
    CUserStore users{dir.File("site.users"), PasswordCost::Minimal()};
    std::chrono::steady_clock::time_point now{};
    CSessions sessions{[this] { return now; }};
    CSignInThrottle throttle{[this] { return now; }};
    std::vector<SignInAttempt> reported;
    CAuthentication auth{users, sessions, throttle,
                         [this](const SignInAttempt& a) { reported.push_back(a); },
                         [this] { return now; }};
};

// "alice:correct horse" and the like, in base64.
struct BasicCase {
    const char* what;
    const char* header;
    AuthOutcome outcome;
    const char* user;  // who is signed in, when one is
};

TEST_F(AuthenticationTest, BasicHeaderForms) {
    const BasicCase cases[] = {
        {"right password", "Basic YWxpY2U6Y29ycmVjdCBob3JzZQ==", AuthOutcome::SignedIn, "alice"},
        {"scheme in any case, spaces around",
         "  bAsIc   YWxpY2U6Y29ycmVjdCBob3JzZQ==  ", AuthOutcome::SignedIn, "alice"},
        {"password holding colons", "Basic Ym9iOnBhc3M6d2l0aDpjb2xvbnM=", AuthOutcome::SignedIn,
         "bob"},
        {"wrong password", "Basic YWxpY2U6d3JvbmcgaG9yc2U=", AuthOutcome::Refused, ""},
        {"unknown user", "Basic Y2Fyb2w6Y29ycmVjdCBob3JzZQ==", AuthOutcome::Refused, ""},
        {"user name in another case", "Basic QWxpY2U6Y29ycmVjdCBob3JzZQ==", AuthOutcome::Refused,
         ""},
        {"no colon", "Basic YWxpY2U=", AuthOutcome::Refused, ""},
        {"empty user name", "Basic OmNvcnJlY3QgaG9yc2U=", AuthOutcome::Refused, ""},
        {"not base64", "Basic !!!notbase64!!!", AuthOutcome::Refused, ""},
        {"right credentials followed by more", "Basic YWxpY2U6Y29ycmVjdCBob3JzZQ==!x",
         AuthOutcome::Refused, ""},
        {"base64 without padding", "Basic YWxpY2U6Y29ycmVjdCBob3JzZQ", AuthOutcome::Refused, ""},
        {"scheme alone", "Basic", AuthOutcome::Refused, ""},
        {"another scheme", "Bearer YWxpY2U6Y29ycmVjdCBob3JzZQ==", AuthOutcome::NotSignedIn, ""},
        {"no header", "", AuthOutcome::NotSignedIn, ""},
    };
    for (const BasicCase& c : cases) {
        reported.clear();
        const AuthResult result = auth.Identify({}, c.header, Peer);
        EXPECT_EQ(result.outcome, c.outcome) << c.what;
        EXPECT_EQ(result.user, c.user) << c.what;
        // Every sign-in and refusal by Basic reaches the history; no credentials, nothing.
        const bool attempted = c.outcome != AuthOutcome::NotSignedIn;
        ASSERT_EQ(reported.size(), attempted ? 1u : 0u) << c.what;
        if (attempted) {
            EXPECT_EQ(reported[0].accepted, c.outcome == AuthOutcome::SignedIn) << c.what;
            EXPECT_EQ(reported[0].how, "basic");
        }
        throttle.Succeeded(Peer);  // the cases must not slow each other down
        now += CSignInNotices::QuietGap;  // nor fall into each other's series
    }
}

TEST_F(AuthenticationTest, FormSignInGivesAStrictCookieThatSignsInLaterRequests) {
    const AuthResult signedIn = auth.SignIn("alice", "correct horse", Peer);
    ASSERT_EQ(signedIn.outcome, AuthOutcome::SignedIn);
    EXPECT_EQ(signedIn.role, UserRole::Operator);
    const std::string& cookie = signedIn.setCookie;
    EXPECT_EQ(cookie.rfind("avlo_session=", 0), 0u) << cookie;
    for (const char* flag : {"; HttpOnly", "; Secure", "; SameSite=Strict", "; Path=/"})
        EXPECT_NE(cookie.find(flag), std::string::npos) << flag << " in " << cookie;
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(reported[0].accepted);
    EXPECT_EQ(reported[0].how, "form");
    EXPECT_EQ(reported[0].address, Peer);

    const std::string pair = cookie.substr(0, cookie.find(';'));
    const AuthResult later = auth.Identify("theme=dark; " + pair + "; lang=en", {}, "127.0.0.8");
    EXPECT_EQ(later.outcome, AuthOutcome::SignedIn);
    EXPECT_EQ(later.user, "alice");
    EXPECT_EQ(later.antiForgeryToken, signedIn.antiForgeryToken);
    EXPECT_FALSE(later.antiForgeryToken.empty());
    EXPECT_EQ(reported.size(), 1u) << "a request with a session is no new sign-in";
}

TEST_F(AuthenticationTest, FormRefusalsSetNoCookieAndAreReported) {
    const struct {
        const char* user;
        const char* password;
    } cases[] = {{"alice", "wrong horse"}, {"carol", "correct horse"}, {"", ""}};
    for (const auto& c : cases) {
        reported.clear();
        const AuthResult result = auth.SignIn(c.user, c.password, Peer);
        EXPECT_EQ(result.outcome, AuthOutcome::Refused) << c.user;
        EXPECT_TRUE(result.setCookie.empty()) << c.user;
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_FALSE(reported[0].accepted);
        EXPECT_EQ(reported[0].user, c.user);
        throttle.Succeeded(Peer);
        now += CSignInNotices::QuietGap;
    }
}

TEST_F(AuthenticationTest, SessionsThatEndedDoNotSignIn) {
    const std::string cookie = SignInCookie("alice", "correct horse");
    ASSERT_EQ(auth.Identify(cookie, {}, Peer).outcome, AuthOutcome::SignedIn);
    now += 12h;
    EXPECT_EQ(auth.Identify(cookie, {}, Peer).outcome, AuthOutcome::NotSignedIn) << "expired";

    const std::string signedOut = SignInCookie("alice", "correct horse");
    const std::string clearing = auth.SignOut(signedOut);
    EXPECT_NE(clearing.find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(auth.Identify(signedOut, {}, Peer).outcome, AuthOutcome::NotSignedIn);

    const std::string removed = SignInCookie("bob", "pass:with:colons");
    ASSERT_TRUE(users.Remove("bob"));
    EXPECT_EQ(auth.Identify(removed, {}, Peer).outcome, AuthOutcome::NotSignedIn);

    EXPECT_EQ(auth.Identify("avlo_session=forged", {}, Peer).outcome, AuthOutcome::NotSignedIn);
}

TEST_F(AuthenticationTest, ThrottledAddressIsRefusedWithoutAPasswordCheck) {
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(auth.SignIn("alice", "wrong horse", Peer).outcome, AuthOutcome::Refused);
    // Even the right password waits its turn, by form and by Basic alike.
    const AuthResult form = auth.SignIn("alice", "correct horse", Peer);
    EXPECT_EQ(form.outcome, AuthOutcome::Throttled);
    EXPECT_EQ(form.retryAfter, 1000ms);
    EXPECT_TRUE(form.setCookie.empty());
    const AuthResult basic = auth.Identify({}, "Basic YWxpY2U6Y29ycmVjdCBob3JzZQ==", Peer);
    EXPECT_EQ(basic.outcome, AuthOutcome::Throttled);
    EXPECT_EQ(reported.back().reason, "too many failed sign-ins");
    EXPECT_EQ(auth.SignIn("alice", "correct horse", "127.0.0.8").outcome, AuthOutcome::SignedIn);

    now += 1s;
    EXPECT_EQ(auth.SignIn("alice", "correct horse", Peer).outcome, AuthOutcome::SignedIn);
}

// A script that sends Basic with every request, and one that guesses: each series reaches the
// history once, until it has been quiet for the gap; form sign-ins each time.
TEST_F(AuthenticationTest, BasicSignInsAndRefusalsAreNotedOncePerSeries) {
    const std::string alice = "Basic YWxpY2U6Y29ycmVjdCBob3JzZQ==";
    for (int minute = 0; minute < 100; ++minute) {
        now += 1min;
        ASSERT_EQ(auth.Identify({}, alice, Peer).outcome, AuthOutcome::SignedIn);
    }
    ASSERT_EQ(reported.size(), 1u) << "in use all along: one series";
    EXPECT_EQ(reported[0].user, "alice");
    auth.Identify({}, alice, "127.0.0.8");
    auth.Identify({}, "Basic Ym9iOnBhc3M6d2l0aDpjb2xvbnM=", Peer);
    EXPECT_EQ(reported.size(), 3u) << "another address, another user: series of their own";
    now += CSignInNotices::QuietGap - 1s;
    auth.Identify({}, alice, Peer);
    EXPECT_EQ(reported.size(), 3u) << "not yet quiet long enough";
    now += CSignInNotices::QuietGap;
    auth.Identify({}, alice, Peer);
    EXPECT_EQ(reported.size(), 4u) << "used again after the gap";

    reported.clear();
    const std::string wrong = "Basic YWxpY2U6d3JvbmcgaG9yc2U=";
    std::vector<AuthOutcome> outcomes;
    for (int i = 0; i < 12; ++i, now += 100ms)
        outcomes.push_back(auth.Identify({}, wrong, Peer).outcome);
    // Every try still counts for the slow-down ...
    EXPECT_EQ(outcomes[4], AuthOutcome::Refused);
    EXPECT_EQ(outcomes[5], AuthOutcome::Throttled);
    EXPECT_EQ(outcomes[11], AuthOutcome::Throttled);
    // ... but the history has one event for the wrong passwords and one for the waiting.
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].reason, "wrong user name or password");
    EXPECT_EQ(reported[1].reason, "too many failed sign-ins");
    now += CSignInNotices::QuietGap;
    EXPECT_EQ(auth.Identify({}, wrong, Peer).outcome, AuthOutcome::Refused);
    EXPECT_EQ(reported.size(), 3u) << "a new series after the gap";

    reported.clear();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(auth.SignIn("alice", "correct horse", "127.0.0.8").outcome,
                  AuthOutcome::SignedIn);
    EXPECT_EQ(reported.size(), 3u) << "each form sign-in opens a session of its own";
}

TEST(SignInNoticesTest, ForgetsTheQuietestSeriesWhenFull) {
    std::chrono::steady_clock::time_point now{};
    CSignInNotices notices([&] { return now; });
    const auto from = [](std::size_t n) {
        return SignInAttempt{true, "alice", "10.0." + std::to_string(n), "basic", {}};
    };
    for (std::size_t n = 0; n < CSignInNotices::MaxSeries; ++n, now += 1ms)
        ASSERT_TRUE(notices.Note(from(n)));
    EXPECT_FALSE(notices.Note(from(1)));
    EXPECT_TRUE(notices.Note(from(CSignInNotices::MaxSeries)));  // pushes out 0, the quietest
    EXPECT_TRUE(notices.Note(from(0)));
    EXPECT_FALSE(notices.Note(from(1)));
}

TEST_F(AuthenticationTest, WithoutAnyAccountEverythingAnswersHowToAddOne) {
    const std::string cookie = SignInCookie("alice", "correct horse");
    users.Remove("alice");
    users.Remove("bob");
    EXPECT_EQ(auth.Identify(cookie, {}, Peer).outcome, AuthOutcome::NoAccounts);
    EXPECT_EQ(auth.Identify({}, {}, Peer).outcome, AuthOutcome::NoAccounts);
    EXPECT_EQ(auth.SignIn("alice", "correct horse", Peer).outcome, AuthOutcome::NoAccounts);
    EXPECT_NE(std::string(NoAccountsText).find("--add-user"), std::string::npos);
}

TEST(SessionTokenOfTest, FindsOnlyTheSessionCookie) {
    EXPECT_EQ(SessionTokenOf("avlo_session=abc"), "abc");
    EXPECT_EQ(SessionTokenOf("a=1;avlo_session=abc;b=2"), "abc");
    EXPECT_EQ(SessionTokenOf("x_avlo_session=abc"), std::nullopt);
    EXPECT_EQ(SessionTokenOf("avlo_sessionx=abc; other=avlo_session"), std::nullopt);
    EXPECT_EQ(SessionTokenOf(""), std::nullopt);
}

}  // namespace
