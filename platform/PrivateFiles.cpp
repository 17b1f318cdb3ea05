#include "platform/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
