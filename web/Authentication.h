#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "web/Sessions.h"
#include "web/SignInNotices.h"
#include "web/SignInThrottle.h"
#include "web/UserStore.h"

// The name of the session cookie.
inline constexpr std::string_view SessionCookieName = "avlo_session";
// The answer (with 403) while no account exists.
inline constexpr std::string_view NoAccountsText =
    "No user account exists yet. Add one on the monitor's computer with: "
    "avlo-monitor --add-user NAME --role viewer|operator";

enum class AuthOutcome {
    SignedIn,
    NotSignedIn,  // no credentials, or a session that ended: 401
    Refused,      // a wrong name or password, or a malformed header: 401
    Throttled,    // too many failures from this address: 429 with retryAfter
    NoAccounts,   // 403 with NoAccountsText
};

struct AuthResult {
    AuthOutcome outcome = AuthOutcome::NotSignedIn;
    std::string user;
    UserRole role = UserRole::Viewer;
    std::string antiForgeryToken;  // of the session; empty with HTTP Basic, which has none
    std::chrono::milliseconds retryAfter{0};
    // With a form sign-in that succeeded: the Set-Cookie header value.
    std::string setCookie;
};

// Decides who is signed in from a request's Cookie and Authorization headers, and signs in by
// the form. Passwords are checked by the user store, so a check takes the time of a hash: call
// it off the core's thread.
class CAuthentication {
public:
    using Reporter = std::function<void(const SignInAttempt&)>;

    // report hears the attempts that CSignInNotices lets through, timed by now.
    CAuthentication(const CUserStore& users, CSessions& sessions, CSignInThrottle& throttle,
                    Reporter report = {}, SteadyNow now = SystemSteadyNow());

    // cookie and authorization are the header values, empty when absent. HTTP Basic is
    // checked on every request, since scripts send it so; a session cookie otherwise.
    AuthResult Identify(std::string_view cookie, std::string_view authorization,
                        const std::string& peer);
    AuthResult SignIn(const std::string& user, const std::string& password,
                      const std::string& peer);
    // Ends the cookie's session; returns the Set-Cookie value that clears it in the browser.
    std::string SignOut(std::string_view cookie);

private:
    AuthResult CheckPassword(const std::string& user, const std::string& password,
                             const std::string& peer, const char* how);
    AuthResult Refuse(const SignInAttempt& attempt, AuthOutcome outcome);
    void Report(const SignInAttempt& attempt);

    const CUserStore& users_;
    CSessions& sessions_;
    CSignInThrottle& throttle_;
    Reporter report_;
    CSignInNotices notices_;
};

// "avlo_session=TOKEN; Path=/; HttpOnly; Secure; SameSite=Strict": out of reach of scripts in
// the page, never sent over plain HTTP, never sent with another site's requests.
std::string SessionCookie(const std::string& token);
// The session token from a Cookie header value, if there is one.
std::optional<std::string> SessionTokenOf(std::string_view cookie);

struct BasicCredentials {
    std::string user;
    std::string password;
};
// nullopt when authorization is not HTTP Basic at all; *malformed set when it is but cannot
// be read (bad base64, no ":").
std::optional<BasicCredentials> ParseBasic(std::string_view authorization, bool* malformed);
