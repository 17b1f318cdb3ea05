#pragma once

#include <string>

// Keeps a second copy of the monitor from starting: an exclusive flock on a lock file,
// held until this object is destroyed or the process ends (so a crash never leaves a stale
// lock). flock locks belong to the open file description, so a second object on the same
// path in the same process is refused as well.
class CInstanceLock {
public:
    explicit CInstanceLock(std::string path = "/tmp/AVLO.lock");
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // true when the lock is now held by this object; false when someone else holds it or
    // the file cannot be opened or created. Does not wait.
    bool Acquire();
    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};
