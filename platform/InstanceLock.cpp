#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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
    if (fd < 0) return false;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}
