#include "web/Sessions.h"

#include <sodium.h>

#include <algorithm>

#include "web/SodiumInit.h"

std::string RandomToken() {
    EnsureSodium();
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    constexpr int Variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    char text[sodium_base64_ENCODED_LEN(sizeof bytes, Variant)];
    sodium_bin2base64(text, sizeof text, bytes, sizeof bytes, Variant);
    return text;
}

CSessions::CSessions(SteadyNow now) : now_(std::move(now)) {}

bool CSessions::SameToken(const std::string& a, const std::string& b) {
    // The length of a token is no secret (all are 43 characters); its content is.
    if (a.size() != b.size()) return false;
    EnsureSodium();
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string CSessions::Digest(const std::string& token) {
    EnsureSodium();
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

CSessions::Created CSessions::Create(const std::string& user, UserRole role) {
    Created created{RandomToken(), WebSession{user, role, RandomToken()}};
    const auto now = now_();
    const std::lock_guard lock(mutex_);
    DropExpired(now);
    if (sessions_.size() >= MaxSessions) DropLongestIdle();
    sessions_[Digest(created.token)] = Entry{created.token, created.session, now};
    return created;
}

std::optional<WebSession> CSessions::Use(const std::string& token) {
    const std::string key = Digest(token);
    const auto now = now_();
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(key);
    if (found == sessions_.end() || !SameToken(found->second.token, token)) return std::nullopt;
    if (now - found->second.lastUse >= IdleLimit) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.lastUse = now;
    return found->second.session;
}

void CSessions::End(const std::string& token) {
    const std::string key = Digest(token);
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(key);
    if (found != sessions_.end() && SameToken(found->second.token, token)) sessions_.erase(found);
}

void CSessions::EndAllOf(const std::string& user) {
    const std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto& item) { return item.second.session.user == user; });
}

void CSessions::DropExpired(std::chrono::steady_clock::time_point now) {
    std::erase_if(sessions_,
                  [&](const auto& item) { return now - item.second.lastUse >= IdleLimit; });
}

void CSessions::DropLongestIdle() {
    const auto oldest = std::min_element(
        sessions_.begin(), sessions_.end(),
        [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
    if (oldest != sessions_.end()) sessions_.erase(oldest);
}
