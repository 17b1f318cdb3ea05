#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "web/SteadyNow.h"
#include "web/UserStore.h"

struct WebSession {
    std::string user;
    UserRole role = UserRole::Viewer;
    // Sent back by the console with each request that acts, so that another site cannot act
    // through the browser's cookie.
    std::string antiForgeryToken;
};

// The signed-in browsers: each session is known by a random token (the cookie's value) and
// ends after 12 hours without a request. Only a digest of each token is kept as the key, and
// the token itself is compared in constant time, so that neither the table's lookup nor the
// comparison tells an attacker how much of a guess was right. Thread-safe.
class CSessions {
public:
    static constexpr std::chrono::hours IdleLimit{12};
    // Sessions are made only after a right password, but a script that signs in on every run
    // must not grow the table without end: past this, the longest idle one goes.
    static constexpr std::size_t MaxSessions = 1000;

    explicit CSessions(SteadyNow now = SystemSteadyNow());

    struct Created {
        std::string token;
        WebSession session;
    };
    Created Create(const std::string& user, UserRole role);
    // The session of token, which counts as a use (its idle time starts again); nullopt when
    // there is none or it has expired.
    std::optional<WebSession> Use(const std::string& token);
    void End(const std::string& token);
    // Ends every session of user, after the account was removed or changed.
    void EndAllOf(const std::string& user);

    static bool SameToken(const std::string& a, const std::string& b);

private:
    struct Entry {
        std::string token;
        WebSession session;
        std::chrono::steady_clock::time_point lastUse;
    };
    using Table = std::unordered_map<std::string, Entry>;

    static std::string Digest(const std::string& token);
    void DropExpired(std::chrono::steady_clock::time_point now);
    void DropLongestIdle();

    SteadyNow now_;
    std::mutex mutex_;
    Table sessions_;
};

// 32 random bytes from the system's generator, URL-safe base64 without padding (43 characters).
std::string RandomToken();
