#include "platform/IniFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/PrivateFiles.h"

namespace {

constexpr std::size_t NoSection = static_cast<std::size_t>(-1);

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Calls fn with each line of content; CR LF, LF and CR all end a line.
template <typename Fn>
void ForEachLine(std::string_view content, Fn&& fn) {
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            fn(content.substr(start));
            return;
        }
        fn(content.substr(start, end - start));
        start = end + 1;
        if (content[end] == '\r' && start < content.size() && content[start] == '\n') ++start;
    }
}

// Blanks out every byte that could end a line or otherwise upset the file, and the bytes in
// extra that carry meaning at the place the text is written.
std::string BlankOut(std::string_view text, std::string_view extra) {
    std::string out(text);
    for (char& c : out) {
        if (IsControl(c) || extra.find(c) != std::string_view::npos) c = ' ';
    }
    return out;
}

// A section name ends at the first "]" when read back.
std::string CleanSectionName(std::string_view name) {
    return std::string(Trim(BlankOut(name, "]")));
}

// A key ends at the first "=", and a line that starts with ";" or "[" is a comment or a
// section header, so neither may lead a key.
std::string CleanKey(std::string_view key) {
    const std::string blanked = BlankOut(key, "=");
    std::string_view view = Trim(blanked);
    while (!view.empty() && (view.front() == ';' || view.front() == '[')) {
        view = Trim(view.substr(1));
    }
    return std::string(view);
}

std::optional<std::int32_t> DecodeHex(std::string_view digits) {
    std::uint32_t bits = 0;
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, bits, 16);
    if (digits.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return static_cast<std::int32_t>(bits);
}

std::optional<std::int32_t> DecodeDecimal(std::string_view text) {
    // from_chars takes a "-" but not a "+"; after a "+" a digit must follow, not a sign.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    }
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool SyncFd(int fd) {
    int rc;
    do {
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The temporary lives next to the file, because rename only replaces atomically within one
// file system. The pid and a counter keep two writers apart; O_EXCL keeps this one away from
// a file that a killed process left under a recycled pid. A new settings file is the user's
// alone, as its folder is.
int CreateTemporary(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        const int fd = CreatePrivateFile(tempPath, O_WRONLY);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The user may have narrowed (or widened) the permissions of the settings file; a save must
// not undo that.
void KeepMode(int fd, const std::string& path) {
    struct stat old {};
    if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) fchmod(fd, old.st_mode & 07777);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable. File systems that cannot sync a folder say EINVAL; the
// rename is as safe there as it gets.
bool SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = SyncFd(fd) || errno == EINVAL;
    close(fd);
    return synced;
}

// Sets *failure to "what: reason" and returns false.
bool Fail(std::string* failure, const std::string& what, int error) {
    if (failure) *failure = what + ": " + std::strerror(error);
    return false;
}

// Writes content to a new file at tempPath, synced to disk. createError: errno when the file
// could not even be created.
bool WriteTemporary(const std::string& path, std::string_view content, std::string& tempPath,
                    std::string* failure, int& createError) {
    const int fd = CreateTemporary(path, tempPath);
    if (fd < 0) {
        createError = errno;
        return Fail(failure, "cannot create a file in " + FolderOf(path), createError);
    }
    KeepMode(fd, path);
    const bool written = WriteAll(fd, content) && SyncFd(fd);
    const int writeError = errno;
    // Linux releases the descriptor even when close reports EINTR.
    const bool closed = close(fd) == 0 || errno == EINTR;
    if (written && closed) return true;
    const int error = written ? errno : writeError;
    unlink(tempPath.c_str());
    return Fail(failure, "cannot write " + tempPath, error);
}

// The existing file at path takes content in place: written from its start, cut to the new
// length only afterwards (so that it is never empty on the way), and synced.
bool RewriteInPlace(const std::string& path, std::string_view content, std::string* failure) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return Fail(failure, "cannot write " + path, errno);
    const bool written = WriteAll(fd, content) &&
                         ftruncate(fd, static_cast<off_t>(content.size())) == 0 && SyncFd(fd);
    const int writeError = errno;
    const bool closed = close(fd) == 0 || errno == EINTR;
    if (written && closed) return true;
    return Fail(failure, "cannot write " + path, written ? errno : writeError);
}

// Reads the whole file at path into content; outcome says why not when it returns false.
bool ReadWhole(const std::string& path, std::string& content, CIniFile::LoadOutcome& outcome) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            outcome.missing = true;
        } else {
            outcome.error = errno;
        }
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            outcome.error = errno;
            close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace

std::size_t CIniFile::CNameHash::operator()(std::string_view name) const {
    std::size_t hash = 14695981039346656037ULL;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(LowerAscii(c));
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool CIniFile::CNameEqual::operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

CIniFile CIniFile::Load(const std::string& path, LoadOutcome* outcome) {
    LoadOutcome found;
    std::string content;
    const bool read = ReadWhole(path, content, found);
    if (outcome) *outcome = found;
    return read ? Parse(content) : CIniFile();
}

CIniFile CIniFile::Parse(std::string_view content) {
    CIniFile ini;
    // Keys before the first header, and in a repeated section, can never be looked up.
    std::size_t current = NoSection;
    ForEachLine(content, [&](std::string_view raw) {
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == ';') return;
        if (line.front() == '[') {
            const std::string_view rest = line.substr(1);
            const auto [index, added] = ini.InsertSection(Trim(rest.substr(0, rest.find(']'))));
            current = added ? index : NoSection;
            return;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || current == NoSection) return;
        CSection& section = ini.sections_[current];
        const auto [entry, added] = InsertEntry(section, Trim(line.substr(0, eq)));
        if (added) section.entries[entry].value = Unquote(Trim(line.substr(eq + 1)));
    });
    return ini;
}

std::optional<std::string> CIniFile::Find(std::string_view section, std::string_view key) const {
    const CSection* found = FindSection(section);
    if (!found) return std::nullopt;
    const auto entry = found->keys.find(key);
    if (entry == found->keys.end()) return std::nullopt;
    return found->entries[entry->second].value;
}

std::string CIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
    return Find(section, key).value_or(def);
}

std::int32_t CIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t def) const {
    const std::optional<std::string> text = Find(section, key);
    if (!text) return def;
    return DecodeInteger(*text).value_or(def);
}

bool CIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void CIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    CSection& target = sections_[InsertSection(CleanSectionName(section)).first];
    const std::size_t entry = InsertEntry(target, CleanKey(key)).first;
    target.entries[entry].value = BlankOut(value, "");
}

void CIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void CIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

std::string CIniFile::Serialize() const {
    std::string out;
    for (const CSection& section : sections_) {
        out.append("[").append(section.name).append("]\r\n");
        for (const CEntry& entry : section.entries) {
            out.append(entry.key).append("=");
            // Reading takes blanks off both ends and one pair of outer quotes; a value that
            // would lose either is written inside one more pair, which reading takes off.
            const std::string_view value = entry.value;
            if (Unquote(Trim(value)) != value) {
                out.append("\"").append(value).append("\"");
            } else {
                out.append(value);
            }
            out.append("\r\n");
        }
    }
    return out;
}

int CIniFile::RemoveStaleTemporaries(const std::string& path) {
    const std::string folder = FolderOf(path);
    const std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp.";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix) continue;
        // "<file>.tmp.<pid>.<count>": only a process that is gone can have left it.
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        const std::string pidText(rest.substr(0, dot));
        if (dot == std::string_view::npos || pidText.empty() ||
            pidText.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(pidText));
        const bool gone = pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
        if (gone && unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++removed;
    }
    closedir(dir);
    return removed;
}

bool CIniFile::Save(const std::string& path, std::string* failure) const {
    const std::string content = Serialize();
    std::string tempPath;
    int createError = 0;
    if (!WriteTemporary(path, content, tempPath, failure, createError)) {
        // Only a folder that refuses new files is worked around; after a full disk or an I/O
        // error a rewrite in place could leave half a file where the old one was whole.
        const bool folderRefused = createError == EACCES || createError == EPERM;
        struct stat st {};
        if (folderRefused && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return RewriteInPlace(path, content, failure);
        }
        return false;
    }
    if (rename(tempPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(tempPath.c_str());
        return Fail(failure, "cannot replace " + path, error);
    }
    if (!SyncFolder(FolderOf(path))) return Fail(failure, "cannot sync " + FolderOf(path), errno);
    return true;
}

std::optional<std::int32_t> CIniFile::DecodeInteger(std::string_view text) {
    if (text.starts_with('$')) return DecodeHex(text.substr(1));
    if (text.starts_with("0x") || text.starts_with("0X")) return DecodeHex(text.substr(2));
    return DecodeDecimal(text);
}

const CIniFile::CSection* CIniFile::FindSection(std::string_view name) const {
    const auto found = sectionIndex_.find(name);
    return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

std::pair<std::size_t, bool> CIniFile::InsertSection(std::string_view name) {
    const auto [it, added] = sectionIndex_.try_emplace(std::string(name), sections_.size());
    if (added) sections_.push_back(CSection{std::string(name), {}, {}});
    return {it->second, added};
}

std::pair<std::size_t, bool> CIniFile::InsertEntry(CSection& section, std::string_view key) {
    const auto [it, added] = section.keys.try_emplace(std::string(key), section.entries.size());
    if (added) section.entries.push_back(CEntry{std::string(key), {}});
    return {it->second, added};
}
