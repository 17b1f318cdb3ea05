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
#include <string_view>
#include <vector>

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

// The escapes of every string value of the file (\s \n \t \r \\).
inline std::optional<std::string> UnescapeString(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            text += value[i];
            continue;
        }
        if (++i == value.size()) return std::nullopt;
        const std::string_view from = "sntr\\", to = " \n\t\r\\";
        const std::size_t which = from.find(value[i]);
        if (which == std::string_view::npos) return std::nullopt;
        text += to[which];
    }
    return text;
}

// "%%" is a percent sign; any other "%" starts a field code, which would make the entry pass
// files or URLs: nullopt.
inline std::optional<std::string> DecodePercent(const std::string& text) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            line += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '%') {
            line += '%';
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return line;
}

// One double-quoted argument from line[i], the opening quote; i ends after the closing one.
inline std::optional<std::string> QuotedArgument(const std::string& line, std::size_t& i) {
    std::string argument;
    for (++i; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            ++i;
            return argument;
        }
        if (c == '`' || c == '$') return std::nullopt;  // must be escaped inside quotes
        if (c == '\\') {
            if (++i == line.size()) return std::nullopt;
            if (std::string_view("\"`$\\").find(line[i]) == std::string_view::npos)
                return std::nullopt;
        }
        argument += line[i];
    }
    return std::nullopt;  // no closing quote
}

// One argument without quotes from line[i]; i ends at the blank after it.
inline std::optional<std::string> PlainArgument(const std::string& line, std::size_t& i) {
    std::string argument;
    for (; i < line.size() && line[i] != ' '; ++i) {
        if (std::string_view("\t\n\"'\\><~|&;$*?#()`").find(line[i]) != std::string_view::npos)
            return std::nullopt;  // a reserved character outside quotes
        argument += line[i];
    }
    return argument;
}

// The command line an Exec value starts, decoded by the format's rules as a desktop does: first
// the escapes of every string value, then "%%", then the splitting into arguments at blanks
// outside double quotes. nullopt when the value is not well-formed.
inline std::optional<std::vector<std::string>> ExecArguments(const std::string& value) {
    const auto text = UnescapeString(value);
    const auto line = text ? DecodePercent(*text) : std::nullopt;
    if (!line) return std::nullopt;
    std::vector<std::string> arguments;
    for (std::size_t i = 0; i < line->size();) {
        if ((*line)[i] == ' ') {
            ++i;
            continue;
        }
        const auto argument =
            (*line)[i] == '"' ? QuotedArgument(*line, i) : PlainArgument(*line, i);
        // A closing quote ends the argument: a blank or the end must follow.
        if (!argument || (i < line->size() && (*line)[i] != ' ')) return std::nullopt;
        arguments.push_back(*argument);
    }
    return arguments;
}

// The program an Exec value with one argument starts; nullopt when it is not exactly one
// well-formed argument.
inline std::optional<std::string> ExecProgram(const std::string& value) {
    const auto arguments = ExecArguments(value);
    if (!arguments || arguments->size() != 1) return std::nullopt;
    return arguments->front();
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
