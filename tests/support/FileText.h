#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The whole content of the file at path, as bytes; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
