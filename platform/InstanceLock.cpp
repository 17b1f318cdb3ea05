#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/PrivateFiles.h"

CInstanceLock::CInstanceLock(std::string path, Folder folder)
    : path_(std::move(path)), folder_(folder) {}

CInstanceLock::~CInstanceLock() {
    // The file stays: removing it would let a starting copy lock a new file while a
    // running one still holds the old one.
    if (fd_ >= 0) close(fd_);
}

bool CInstanceLock::Acquire() {
    if (fd_ >= 0) return true;
    std::string failure;
    if (folder_ == Folder::MakePrivate &&
        !MakePrivateFolders(std::filesystem::path(path_).parent_path().string(), &failure)) {
        return Refuse("cannot make the folder of the lock file: " + failure);
    }
    // Never through a symbolic link, and never a file of someone else: either would let
    // another user decide that a copy is running.
    const int fd = OpenPrivateFile(path_, O_RDONLY);
    if (fd < 0) {
        return Refuse("cannot open or create the lock file " + path_ + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
        close(fd);
        return Refuse("the lock file " + path_ + " belongs to another user");
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int error = errno;
        close(fd);
        // Only a lock that someone holds means that a copy is running; anything else (a
        // file system without locks, say) is a failure of its own.
        if (error == EWOULDBLOCK) {
            refusal_ = Refusal::HeldByAnother;
            errorText_.clear();
            return false;
        }
        return Refuse("cannot lock the lock file " + path_ + ": " + std::strerror(error));
    }
    fd_ = fd;
    refusal_ = Refusal::None;
    errorText_.clear();
    return true;
}

bool CInstanceLock::Refuse(std::string text) {
    refusal_ = Refusal::Error;
    errorText_ = std::move(text);
    return false;
}
