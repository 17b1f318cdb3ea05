#include "platform/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr mode_t FolderMode = S_IRWXU;
constexpr mode_t FileMode = S_IRUSR | S_IWUSR;

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One level: made private, or already a folder (whoever made it).
bool MakeOneFolder(const std::string& path, std::string* failure) {
    if (mkdir(path.c_str(), FolderMode) == 0) {
        // The umask may have taken the owner's own bits, which would leave a folder that not
        // even its owner can fill.
        if (chmod(path.c_str(), FolderMode) == 0) return true;
    } else if (IsFolder(path)) {
        return true;
    }
    if (failure) *failure = "cannot create \"" + path + "\": " + std::strerror(errno);
    return false;
}

// Why the opened file may not hold a secret, or empty.
std::string WhyNotPrivate(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::string("it cannot be read (") + std::strerror(errno) + ")";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != geteuid()) {
        return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("other users can read or change it (mode ") + mode +
               "); only its owner may (chmod 600)";
    }
    return {};
}

bool Failed(std::string* failure, const std::string& what) {
    if (failure) *failure = what + ": " + std::strerror(errno);
    return false;
}

bool WriteWhole(int fd, const std::string& content) {
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fsync(fd) == 0;
}

// The folder's entry for the renamed file reaches the disk only with the folder synced; file
// systems that cannot sync a folder say EINVAL, and the rename is as safe there as it gets.
bool SyncFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return synced;
}

}  // namespace

bool MakePrivateFolders(const std::string& folder, std::string* failure) {
    // From the top down, so that each new folder is private before anything goes into it.
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string level = folder.substr(0, end);
        if (!level.empty() && level.back() != '/' && !MakeOneFolder(level, failure)) return false;
        if (end == std::string::npos) return true;
    }
}

int CreatePrivateFile(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FileMode);
    if (fd < 0 || fchmod(fd, FileMode) == 0) return fd;
    const int error = errno;
    close(fd);
    unlink(path.c_str());
    errno = error;
    return -1;
}

int OpenPrivateFile(const std::string& path, int flags) {
    const int fd = CreatePrivateFile(path, flags);
    if (fd >= 0 || errno != EEXIST) return fd;
    // O_CREAT still: a folder at the path fails as one (EISDIR), and a file removed in the
    // meantime comes back no less private than the umask allows.
    return open(path.c_str(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, FileMode);
}

int OpenOwnPrivateFile(const std::string& path, std::string& why) {
    why.clear();
    // Not through a link, which could lead anywhere; non-blocking, so a pipe put in its place
    // cannot hold up the start.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) why = "it is a symbolic link";
        if (errno != ENOENT && errno != ELOOP) {
            why = std::string("it cannot be read (") + std::strerror(errno) + ")";
        }
        return -1;
    }
    why = WhyNotPrivate(fd);
    if (why.empty()) return fd;
    close(fd);
    return -1;
}

bool ReplacePrivateFile(const std::string& path, const std::string& content, std::string* failure) {
    // Beside the file, since rename replaces atomically only within one file system; the pid
    // and a counter keep two writers apart.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
    const int fd = CreatePrivateFile(temp, O_WRONLY);
    if (fd < 0) return Failed(failure, "cannot create " + temp);
    const bool written = WriteWhole(fd, content);
    const int error = errno;
    close(fd);
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        const int cause = written ? errno : error;
        unlink(temp.c_str());
        errno = cause;
        return Failed(failure, (written ? "cannot replace " : "cannot write ") + path);
    }
    if (!SyncFolderOf(path)) return Failed(failure, "cannot sync the folder of " + path);
    return true;
}
