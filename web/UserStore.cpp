#include "web/UserStore.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/PrivateFiles.h"
#include "web/SodiumInit.h"

namespace {

constexpr std::size_t MaxNameBytes = 64;
constexpr std::size_t MinPasswordBytes = 8;
// Far above any typed password, far below what would let one request keep a core busy.
constexpr std::size_t MaxPasswordBytes = 1024;
constexpr std::string_view HashPrefix = "$argon2id$";

std::optional<std::string> Hash(const std::string& password, PasswordCost cost) {
    EnsureSodium();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), cost.opsLimit, cost.memLimit) !=
        0) {
        return std::nullopt;
    }
    return std::string(out);
}

std::optional<UserAccount> ParseLine(const std::string& line) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos) return std::nullopt;
    UserAccount account;
    account.name = line.substr(0, first);
    const auto role = ParseUserRole(std::string_view(line).substr(first + 1, second - first - 1));
    account.hash = line.substr(second + 1);
    if (!role || !CUserStore::NameProblem(account.name).empty()) return std::nullopt;
    if (!account.hash.starts_with(HashPrefix) || account.hash.size() >= crypto_pwhash_STRBYTES)
        return std::nullopt;
    account.role = *role;
    return account;
}

bool ReadAll(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

bool Fail(std::string* failure, const std::string& what) {
    if (failure) *failure = what;
    return false;
}

}  // namespace

std::optional<UserRole> ParseUserRole(std::string_view text) {
    if (text == "viewer") return UserRole::Viewer;
    if (text == "operator") return UserRole::Operator;
    return std::nullopt;
}

const char* UserRoleName(UserRole role) {
    return role == UserRole::Operator ? "operator" : "viewer";
}

std::string UsersFilePath(const std::string& configPath) {
    return std::filesystem::path(configPath).replace_extension(".users").string();
}

PasswordCost PasswordCost::Interactive() {
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

PasswordCost PasswordCost::Minimal() {
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

CUserStore::CUserStore(std::string path, PasswordCost cost) : path_(std::move(path)), cost_(cost) {}

const std::string& CUserStore::DecoyHash() const {
    // Of random bytes, so that no password matches it; made when first needed, as a hash
    // costs time that listing or adding accounts should not pay.
    std::call_once(decoyOnce_, [this] {
        unsigned char noise[32];
        EnsureSodium();
        randombytes_buf(noise, sizeof noise);
        decoyHash_ = Hash(std::string(reinterpret_cast<char*>(noise), sizeof noise), cost_)
                         .value_or(std::string());
    });
    return decoyHash_;
}

std::string CUserStore::NameProblem(const std::string& name) {
    if (name.empty()) return "the user name is empty";
    if (name.size() > MaxNameBytes) return "the user name is longer than 64 bytes";
    const bool bad = std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f || c == ':';
    });
    if (bad) return "a user name may not hold spaces, control characters or \":\"";
    return {};
}

std::string CUserStore::PasswordProblem(const std::string& password) {
    if (password.size() < MinPasswordBytes) return "the password is shorter than 8 characters";
    if (password.size() > MaxPasswordBytes) return "the password is longer than 1024 bytes";
    if (password.find('\n') != std::string::npos || password.find('\r') != std::string::npos)
        return "the password holds a line break";
    return {};
}

bool CUserStore::Load(std::string* failure) {
    std::vector<UserAccount> loaded;
    std::string why;
    const int fd = OpenOwnPrivateFile(path_, why);
    if (fd >= 0) {
        std::string text;
        const bool read = ReadAll(fd, text);
        close(fd);
        if (!read) why = std::string("it cannot be read (") + std::strerror(errno) + ")";
        std::istringstream lines(text);
        int number = 0;
        for (std::string line; why.empty() && std::getline(lines, line);) {
            ++number;
            const auto account = ParseLine(line);
            if (!account) why = "line " + std::to_string(number) + " is not an account";
            if (account) loaded.push_back(*account);
        }
    }
    const std::lock_guard lock(mutex_);
    accounts_.clear();
    if (!why.empty())
        return Fail(failure, "The accounts file \"" + path_ + "\" is not used: " + why);
    accounts_ = std::move(loaded);
    return true;
}

bool CUserStore::Save(std::string* failure) const {
    std::string content;
    for (const UserAccount& account : Accounts())
        content += account.name + ':' + UserRoleName(account.role) + ':' + account.hash + '\n';
    return ReplacePrivateFile(path_, content, failure);
}

bool CUserStore::Add(const std::string& name, UserRole role, const std::string& password,
                     std::string* failure) {
    std::string problem = NameProblem(name);
    if (problem.empty()) problem = PasswordProblem(password);
    if (problem.empty() && Find(name)) problem = "a user named " + name + " exists already";
    if (!problem.empty()) return Fail(failure, problem);
    const auto hash = Hash(password, cost_);
    if (!hash) return Fail(failure, "the password could not be hashed (out of memory)");
    const std::lock_guard lock(mutex_);
    accounts_.push_back(UserAccount{name, role, *hash});
    return true;
}

bool CUserStore::Remove(const std::string& name) {
    const std::lock_guard lock(mutex_);
    return std::erase_if(accounts_, [&](const UserAccount& a) { return a.name == name; }) > 0;
}

bool CUserStore::SetRole(const std::string& name, UserRole role) {
    const std::lock_guard lock(mutex_);
    for (UserAccount& account : accounts_) {
        if (account.name != name) continue;
        account.role = role;
        return true;
    }
    return false;
}

std::vector<UserAccount> CUserStore::Accounts() const {
    const std::lock_guard lock(mutex_);
    return accounts_;
}

bool CUserStore::Empty() const {
    const std::lock_guard lock(mutex_);
    return accounts_.empty();
}

std::optional<UserAccount> CUserStore::Find(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    for (const UserAccount& account : accounts_)
        if (account.name == name) return account;
    return std::nullopt;
}

std::optional<UserRole> CUserStore::RoleOf(const std::string& name) const {
    const auto account = Find(name);
    return account ? std::optional(account->role) : std::nullopt;
}

bool CUserStore::Matches(const std::string& hash, const std::string& password) const {
    if (password.size() > MaxPasswordBytes) return false;
    EnsureSodium();
    checks_.acquire();
    const bool matches =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    checks_.release();
    return matches;
}

std::optional<UserRole> CUserStore::Verify(const std::string& name,
                                           const std::string& password) const {
    const auto account = Find(name);
    if (!account) {
        Matches(DecoyHash(), password);
        return std::nullopt;
    }
    if (!Matches(account->hash, password)) return std::nullopt;
    return account->role;
}
