#pragma once

#include <string>

// Keeps a second copy of the monitor from starting: an exclusive flock on a lock file of this
// user (mode 0600; a symbolic link or another user's file there is refused as an error),
// held until this object is destroyed or the process ends (so a crash never leaves a stale
// lock). flock locks belong to the open file description, so a second object on the same
// path in the same process is refused as well.
class CInstanceLock {
public:
    enum class Refusal {
        None,           // held by this object, or not tried yet
        HeldByAnother,  // another copy (or another lock object) holds it
        Error,          // the file could not be opened, created or locked
    };

    enum class Folder {
        MustExist,    // a path given by the user: a missing folder is an error
        MakePrivate,  // the program's own place: missing folders are made, for the user alone
    };

    explicit CInstanceLock(std::string path, Folder folder = Folder::MustExist);
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // true when the lock is now held by this object. Does not wait. On false, LastRefusal()
    // tells whether someone else holds the lock or the lock could not be taken at all.
    bool Acquire();
    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    Refusal LastRefusal() const { return refusal_; }
    // For Refusal::Error: what failed, with the path and the system's reason.
    const std::string& ErrorText() const { return errorText_; }

private:
    bool Refuse(std::string text);

    std::string path_;
    Folder folder_;
    int fd_ = -1;
    Refusal refusal_ = Refusal::None;
    std::string errorText_;
};
