#pragma once

// Reading a desktop entry back as a desktop reads it, and the desktop-file-utils check of it,
// for the tests of the autostart entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace desktopentry {

// The value of `key` in the file's [Desktop Entry] group, as written; nullopt when absent.
inline std::optional<std::string> Value(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (inGroup && line.starts_with(key + "=")) return line.substr(key.size() + 1);
    }
    return std::nullopt;
}

// The program an Exec value with one argument starts, decoded by the format's rules: first the
// escapes of every string value, then "%%", then the quoting of an argument. nullopt when the
// value is not one well-formed argument.
inline std::optional<std::string> ExecProgram(const std::string& value) {
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            unescaped += value[i];
            continue;
        }
        if (++i == value.size()) return std::nullopt;
        switch (value[i]) {
            case 's':
                unescaped += ' ';
                break;
            case 'n':
                unescaped += '\n';
                break;
            case 't':
                unescaped += '\t';
                break;
            case 'r':
                unescaped += '\r';
                break;
            case '\\':
                unescaped += '\\';
                break;
            default:
                return std::nullopt;
        }
    }
    std::string argument;
    for (std::size_t i = 0; i < unescaped.size(); ++i) {
        if (unescaped[i] != '%') {
            argument += unescaped[i];
        } else if (i + 1 < unescaped.size() && unescaped[i + 1] == '%') {
            argument += '%';
            ++i;
        } else {
            return std::nullopt;  // a field code: the entry would pass files or URLs
        }
    }
    if (argument.empty() || argument[0] != '"') {
        if (argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos) {
            return std::nullopt;  // a reserved character outside quotes
        }
        return argument;
    }
    std::string program;
    for (std::size_t i = 1; i < argument.size(); ++i) {
        const char c = argument[i];
        if (c == '"') return i + 1 == argument.size() ? std::optional(program) : std::nullopt;
        if (c == '\\') {
            if (++i == argument.size()) return std::nullopt;
            const char next = argument[i];
            if (next != '"' && next != '`' && next != '$' && next != '\\') return std::nullopt;
            program += next;
        } else {
            if (c == '`' || c == '$') return std::nullopt;  // must be escaped inside quotes
            program += c;
        }
    }
    return std::nullopt;  // no closing quote
}

// Why the check cannot run here (the tool is not installed), for GTEST_SKIP; nullopt when it
// can, and also under CI, where a missing tool is a failure of the set-up.
inline std::optional<std::string> ValidatorMissing() {
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0) return std::nullopt;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") {
        ADD_FAILURE() << "desktop-file-validate (desktop-file-utils) is needed under CI";
        return std::nullopt;
    }
    return "desktop-file-validate (desktop-file-utils) is not installed";
}

// Runs desktop-file-validate on the file; its complaints (empty when it is satisfied) go to
// *output.
inline bool Validate(const std::string& path, std::string* output) {
    std::string quoted = "'";
    for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE* pipe = popen(("desktop-file-validate " + quoted + " 2>&1").c_str(), "r");
    if (!pipe) return false;
    std::ostringstream text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) text << buffer;
    const int status = pclose(pipe);
    *output = text.str();
    return status == 0 && output->empty();
}

}  // namespace desktopentry
