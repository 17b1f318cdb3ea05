#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

// A fresh folder under /tmp for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/avlo-store-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};
