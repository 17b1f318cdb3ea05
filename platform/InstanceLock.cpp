#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

CInstanceLock::CInstanceLock(std::string path) : path_(std::move(path)) {}

CInstanceLock::~CInstanceLock() {
    // The file stays: removing it would let a starting copy lock a new file while a
    // running one still holds the old one.
    if (fd_ >= 0) close(fd_);
}

bool CInstanceLock::Acquire() {
    if (fd_ >= 0) return true;
    // flock needs no write access, so read-only lets another user lock a file the first
    // user created; 0666 then masked by the umask, as for any new file.
    const int fd = open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        refusal_ = Refusal::Error;
        errorText_ = "cannot open or create the lock file " + path_ + ": " + std::strerror(error);
        return false;
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
        } else {
            refusal_ = Refusal::Error;
            errorText_ = "cannot lock the lock file " + path_ + ": " + std::strerror(error);
        }
        return false;
    }
    fd_ = fd;
    refusal_ = Refusal::None;
    errorText_.clear();
    return true;
}
