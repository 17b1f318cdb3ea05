#include "platform/Autostart.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/PrivateFiles.h"
#include "platform/StartupOptions.h"

namespace {

const char* const EntryName = "avlo-monitor.desktop";

// Characters that make the desktop-entry format split or interpret an Exec argument; an
// argument that holds any of them must be quoted.
constexpr std::string_view ReservedInExec = " \t\n\"'\\><~|&;$*?#()`";

std::string ErrnoText(const std::string& what, const std::string& path, int error) {
    return what + " \"" + path + "\": " + std::strerror(error);
}

bool WriteWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The entry goes in through a temporary file and a rename, so that a desktop reading the
// folder at log-on never finds half an entry. A temporary that an earlier run under the same
// pid left is replaced, never written through.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* failure) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    const int fd = CreatePrivateFile(temporary, O_WRONLY);
    if (fd < 0) {
        if (failure) *failure = ErrnoText("cannot create", temporary, errno);
        return false;
    }
    const bool written = WriteWhole(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        if (failure) *failure = ErrnoText("cannot write", temporary, written ? errno : writeError);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        if (failure) *failure = ErrnoText("cannot rename to", path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string AutostartEntryPath() {
    const std::string config = UserConfigFolder();
    if (config.empty()) return {};
    return config + "/autostart/" + EntryName;
}

namespace {

// The rules of every string value of the file: a backslash and the control characters as
// escapes; in Exec also "%" doubled, since a single one starts a field code.
std::string EscapedString(const std::string& text, bool inExec) {
    std::string value;
    for (const char c : text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            case '%':
                value += inExec ? "%%" : "%";
                break;
            default:
                value += c;
        }
    }
    return value;
}

}  // namespace

std::string DesktopExecValue(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(ReservedInExec) == std::string::npos) {
        return EscapedString(argument, true);
    }
    // Inside quotes the four characters that still mean something get a backslash.
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return EscapedString(quoted, true);
}

std::string DesktopExecLine(const std::vector<std::string>& command) {
    std::string line;
    for (const std::string& argument : command) {
        if (!line.empty()) line += ' ';
        line += DesktopExecValue(argument);
    }
    return line;
}

// TryExec: a desktop leaves out an entry whose program is gone, instead of failing to start it
// at every log-on.
std::string AutostartEntryText(const std::vector<std::string>& command) {
    const std::string program = command.empty() ? std::string() : command.front();
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=AVLO Monitor\n"
           "Comment=Monitors the Velkan amplifiers of the network\n"
           "TryExec=" +
           EscapedString(program, false) +
           "\n"
           "Exec=" +
           DesktopExecLine(command) +
           "\n"
           "Icon=avlo-monitor\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool SetRunAtLogon(bool on, const std::vector<std::string>& command, std::string* failure) {
    const std::string path = AutostartEntryPath();
    if (path.empty()) {
        if (failure) *failure = "no settings folder: neither XDG_CONFIG_HOME nor HOME is set";
        return false;
    }
    if (!on) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        if (failure) *failure = ErrnoText("cannot remove", path, errno);
        return false;
    }
    if (command.empty() || command.front().empty()) {
        if (failure) *failure = "the program's own path cannot be read";
        return false;
    }
    // Whoever can write the folder chooses what runs at the next log-on.
    if (!MakePrivateFolders(std::filesystem::path(path).parent_path().string(), failure)) {
        return false;
    }
    return ReplaceFile(path, AutostartEntryText(command), failure);
}
