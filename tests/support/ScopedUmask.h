#pragma once

#include <sys/stat.h>

#include <string>

// Sets the process's umask for the life of the object: what the program makes must be private
// whatever the umask, 000 included.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
    ~ScopedUmask() { umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t old_;
};

// The permission bits of what is at path (not following a link), or -1 when nothing is there.
inline int PermissionsAt(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}
