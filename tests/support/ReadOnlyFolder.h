#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Makes an existing folder refuse new files for the life of the object, as the folder of an
// installed program does, while the files already in it stay writable. Modes do not stop
// root, so as root the folder is also made immutable (ext4 and most other file systems).
// Refuses() tells whether it worked here; the destructor undoes both.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string path) : path_(std::move(path)) {
        chmod(path_.c_str(), 0555);
        SetImmutable(true);
        const std::string probe = path_ + "/.probe";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            unlink(probe.c_str());
        } else {
            refuses_ = true;
        }
    }
    ~ReadOnlyFolder() {
        SetImmutable(false);
        chmod(path_.c_str(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    bool Refuses() const { return refuses_; }
    static const char* WhyNot() {
        return "cannot make a folder refuse new files here (root without CAP_LINUX_IMMUTABLE, or a "
               "file system without the immutable attribute)";
    }

private:
    void SetImmutable(bool on) {
        const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        int flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        close(fd);
    }

    std::string path_;
    bool refuses_ = false;
};
