#pragma once

#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <vector>

// What a signed-in user may do: a viewer reads, an operator may also act on devices.
enum class UserRole { Viewer, Operator };

std::optional<UserRole> ParseUserRole(std::string_view text);
const char* UserRoleName(UserRole role);

// The accounts file of the settings file at configPath: the same name with ".users" in place
// of its extension, in the same folder.
std::string UsersFilePath(const std::string& configPath);

// How costly a password hash is to make and to check. Full strength is what the file holds in
// use; tests may choose the cheapest the hash allows, to stay quick.
struct PasswordCost {
    unsigned long long opsLimit;
    std::size_t memLimit;
    static PasswordCost Interactive();
    static PasswordCost Minimal();
};

struct UserAccount {
    std::string name;
    UserRole role = UserRole::Viewer;
    std::string hash;  // Argon2id, in the self-describing text form of crypto_pwhash_str
};

// The web service's accounts, kept in a file only this user may read: one line per account,
// "name:role:hash". Safe to use from several threads; a password check does not hold the lock,
// since it takes a good part of a second by design.
class CUserStore {
public:
    // A check at full strength takes 64 MiB for its moment: many at once (each request with
    // HTTP Basic is one) would take the memory of the machine, so they queue beyond this.
    static constexpr std::ptrdiff_t MaxConcurrentChecks = 2;

    explicit CUserStore(std::string path, PasswordCost cost = PasswordCost::Interactive());

    // Reads the file. No file is no accounts; a file that is a link, another user's, readable
    // by others, or not in the format is refused whole (false, *failure says why), and the
    // store is then empty, so that no one signs in through accounts that were not checked.
    bool Load(std::string* failure = nullptr);
    bool Save(std::string* failure = nullptr) const;

    // Adds an account; false with *failure when the name or password is not acceptable, the
    // name is taken, or hashing failed (out of memory).
    bool Add(const std::string& name, UserRole role, const std::string& password,
             std::string* failure = nullptr);
    bool Remove(const std::string& name);
    // False when there is no such account. The password stays as it was.
    bool SetRole(const std::string& name, UserRole role);

    std::vector<UserAccount> Accounts() const;
    bool Empty() const;
    std::optional<UserRole> RoleOf(const std::string& name) const;
    // The account's role when name and password match one. An unknown name costs as much time
    // as a wrong password, so that the answer's delay does not tell which names exist.
    std::optional<UserRole> Verify(const std::string& name, const std::string& password) const;

    const std::string& Path() const { return path_; }

    // Why a name cannot be an account's, or empty: it must fit a line of the file and the
    // "name:password" of HTTP Basic.
    static std::string NameProblem(const std::string& name);
    static std::string PasswordProblem(const std::string& password);

private:
    std::optional<UserAccount> Find(const std::string& name) const;
    bool Matches(const std::string& hash, const std::string& password) const;
    const std::string& DecoyHash() const;

    std::string path_;
    PasswordCost cost_;
    mutable std::once_flag decoyOnce_;
    mutable std::string decoyHash_;  // checked against for names that have no account
    mutable std::mutex mutex_;
    std::vector<UserAccount> accounts_;
    mutable std::counting_semaphore<MaxConcurrentChecks> checks_{MaxConcurrentChecks};
};
