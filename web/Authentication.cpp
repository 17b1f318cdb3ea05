#include "web/Authentication.h"

#include <sodium.h>

#include <cctype>

#include "web/SodiumInit.h"

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool SchemeIsBasic(std::string_view scheme) {
    constexpr std::string_view Basic = "basic";
    if (scheme.size() != Basic.size()) return false;
    for (std::size_t i = 0; i < Basic.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(scheme[i])) != Basic[i]) return false;
    return true;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    EnsureSodium();
    std::string bytes(text.size(), '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

AuthResult Outcome(AuthOutcome outcome) {
    AuthResult result;
    result.outcome = outcome;
    return result;
}

AuthResult SignedIn(const std::string& user, UserRole role, const std::string& antiForgery = {}) {
    AuthResult result = Outcome(AuthOutcome::SignedIn);
    result.user = user;
    result.role = role;
    result.antiForgeryToken = antiForgery;
    return result;
}

}  // namespace

std::string SessionCookie(const std::string& token) {
    return std::string(SessionCookieName) + '=' + token +
           "; Path=/; HttpOnly; Secure; SameSite=Strict";
}

std::optional<std::string> SessionTokenOf(std::string_view cookie) {
    while (!cookie.empty()) {
        const std::size_t semicolon = cookie.find(';');
        const std::string_view pair = Trim(cookie.substr(0, semicolon));
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && Trim(pair.substr(0, equals)) == SessionCookieName)
            return std::string(Trim(pair.substr(equals + 1)));
        if (semicolon == std::string_view::npos) break;
        cookie.remove_prefix(semicolon + 1);
    }
    return std::nullopt;
}

std::optional<BasicCredentials> ParseBasic(std::string_view authorization, bool* malformed) {
    *malformed = false;
    authorization = Trim(authorization);
    const std::size_t space = authorization.find(' ');
    if (!SchemeIsBasic(authorization.substr(0, space))) return std::nullopt;
    *malformed = true;
    if (space == std::string_view::npos) return std::nullopt;
    const auto decoded = DecodeBase64(Trim(authorization.substr(space + 1)));
    if (!decoded) return std::nullopt;
    const std::size_t colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    *malformed = false;
    return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

CAuthentication::CAuthentication(const CUserStore& users, CSessions& sessions,
                                 CSignInThrottle& throttle, Reporter report, SteadyNow now)
    : users_(users),
      sessions_(sessions),
      throttle_(throttle),
      report_(std::move(report)),
      notices_(std::move(now)) {}

void CAuthentication::Report(const SignInAttempt& attempt) {
    if (report_ && notices_.Note(attempt)) report_(attempt);
}

AuthResult CAuthentication::Refuse(const SignInAttempt& attempt, AuthOutcome outcome) {
    Report(attempt);
    return Outcome(outcome);
}

AuthResult CAuthentication::CheckPassword(const std::string& user, const std::string& password,
                                          const std::string& peer, const char* how) {
    if (users_.Empty()) return Outcome(AuthOutcome::NoAccounts);
    const auto wait = throttle_.WaitFor(peer);
    if (wait.count() > 0) {
        AuthResult result =
            Refuse({false, user, peer, how, "too many failed sign-ins"}, AuthOutcome::Throttled);
        result.retryAfter = wait;
        return result;
    }
    const auto role = users_.Verify(user, password);
    if (!role) {
        throttle_.Failed(peer);
        return Refuse({false, user, peer, how, "wrong user name or password"},
                      AuthOutcome::Refused);
    }
    throttle_.Succeeded(peer);
    Report({true, user, peer, how, {}});
    return SignedIn(user, *role);
}

AuthResult CAuthentication::Identify(std::string_view cookie, std::string_view authorization,
                                     const std::string& peer) {
    if (users_.Empty()) return Outcome(AuthOutcome::NoAccounts);
    bool malformed = false;
    if (const auto basic = ParseBasic(authorization, &malformed))
        return CheckPassword(basic->user, basic->password, peer, "basic");
    if (malformed)
        return Refuse({false, {}, peer, "basic", "malformed credentials"}, AuthOutcome::Refused);
    const auto token = SessionTokenOf(cookie);
    if (!token) return Outcome(AuthOutcome::NotSignedIn);
    const auto session = sessions_.Use(*token);
    // The account may have been removed, or its role changed, since the session began.
    const auto role = session ? users_.RoleOf(session->user) : std::nullopt;
    if (!role) {
        if (session) sessions_.EndAllOf(session->user);
        return Outcome(AuthOutcome::NotSignedIn);
    }
    return SignedIn(session->user, *role, session->antiForgeryToken);
}

AuthResult CAuthentication::SignIn(const std::string& user, const std::string& password,
                                   const std::string& peer) {
    AuthResult result = CheckPassword(user, password, peer, "form");
    if (result.outcome != AuthOutcome::SignedIn) return result;
    const auto created = sessions_.Create(result.user, result.role);
    result.antiForgeryToken = created.session.antiForgeryToken;
    result.setCookie = SessionCookie(created.token);
    return result;
}

std::string CAuthentication::SignOut(std::string_view cookie) {
    if (const auto token = SessionTokenOf(cookie)) sessions_.End(*token);
    return std::string(SessionCookieName) +
           "=; Path=/; Max-Age=0; HttpOnly; Secure; SameSite=Strict";
}
