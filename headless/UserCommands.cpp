#include "headless/UserCommands.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/PrivateFiles.h"
#include "web/UserStore.h"

namespace {

// One line without its line end; nullopt at the end of the input before any line.
std::optional<std::string> ReadLine(std::FILE* in) {
    std::string line;
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Reads a line from the terminal with its echo off; the echo comes back even when reading
// fails, and the line end the user typed, which was not echoed, is written in its place. The
// echo goes off before the prompt shows, and nothing typed ahead is thrown away, so that what
// a quick typist or a paste sends after the prompt is never shown.
std::optional<std::string> ReadHidden(std::FILE* in, std::FILE* err, const char* prompt) {
    const int fd = fileno(in);
    termios saved{};
    const bool terminal = tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;

        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSANOW, &quiet);
    }
    std::fputs(prompt, err);
    std::fflush(err);
    auto line = ReadLine(in);
    if (terminal) tcsetattr(fd, TCSANOW, &saved);
    return line;
}

std::optional<std::string> ReadPassword(std::FILE* in, std::FILE* err, const std::string& user) {
    if (!isatty(fileno(in))) return ReadLine(in);
    const std::string prompt = "Password for " + user + ": ";
    auto first = ReadHidden(in, err, prompt.c_str());
    if (!first) return std::nullopt;
    auto again = ReadHidden(in, err, "The same password again: ");
    const bool same = again && *again == *first;
    if (again) sodium_memzero(again->data(), again->size());
    if (same) return first;
    sodium_memzero(first->data(), first->size());
    std::fputs("avlo-monitor: the two passwords differ\n", err);
    return std::nullopt;
}

int Fail(std::FILE* err, const std::string& why) {
    std::fprintf(err, "avlo-monitor: %s\n", why.c_str());
    return 1;
}

int AddUser(CUserStore& store, const StartupOptions& options, std::FILE* in, std::FILE* out,
            std::FILE* err) {
    const std::string& name = options.addUser;
    const std::string problem = CUserStore::NameProblem(name);
    if (!problem.empty()) return Fail(err, problem);
    if (store.RoleOf(name)) return Fail(err, "a user named " + name + " exists already");
    auto password = ReadPassword(in, err, name);
    if (!password) return Fail(err, "no password given");
    std::string failure;
    const bool added = store.Add(name, *ParseUserRole(options.userRole), *password, &failure);
    sodium_memzero(password->data(), password->size());
    if (!added) return Fail(err, failure);
    const std::string folder = std::filesystem::path(store.Path()).parent_path().string();
    if (!MakePrivateFolders(folder, &failure) || !store.Save(&failure)) return Fail(err, failure);
    std::fprintf(out, "User %s added as %s.\n", name.c_str(), options.userRole.c_str());
    return 0;
}

int RemoveUser(CUserStore& store, const std::string& name, std::FILE* out, std::FILE* err) {
    if (!store.Remove(name)) return Fail(err, "there is no user named " + name);
    std::string failure;
    if (!store.Save(&failure)) return Fail(err, failure);
    std::fprintf(out, "User %s removed.\n", name.c_str());
    return 0;
}

int ListUsers(const CUserStore& store, std::FILE* out, std::FILE* err) {
    if (store.Empty()) {
        std::fputs("No user accounts yet; add one with --add-user NAME --role viewer|operator.\n",
                   err);
    }
    for (const UserAccount& account : store.Accounts())
        std::fprintf(out, "%s\t%s\n", account.name.c_str(), UserRoleName(account.role));
    return 0;
}

}  // namespace

bool WantsUserCommand(const StartupOptions& options) {
    return !options.addUser.empty() || !options.removeUser.empty() || options.listUsers;
}

int RunUserCommand(const StartupOptions& options, std::FILE* in, std::FILE* out, std::FILE* err) {
    CUserStore store(UsersFilePath(options.configPath));
    std::string failure;
    // A refused file is never written over: the accounts in it would be lost unseen.
    if (!store.Load(&failure)) return Fail(err, failure);
    if (!options.addUser.empty()) return AddUser(store, options, in, out, err);
    if (!options.removeUser.empty()) return RemoveUser(store, options.removeUser, out, err);
    return ListUsers(store, out, err);
}
