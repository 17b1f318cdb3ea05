#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Debian's aiosmtpd as a real SMTP server for the tests (through smtp_sink.py, on a loopback
// port), and Python's standard mail parser to read what it stored.
namespace smtpsink {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Debian's own interpreter: the python3 first on the PATH may lack Debian's packages.
inline constexpr const char* Python = "/usr/bin/python3";

inline fs::path Script() {
    if (const char* root = std::getenv("AVLO_SOURCE_DIR")) {
        return fs::path(root) / "tests/integration/smtp_sink.py";
    }
    return fs::path(__FILE__).parent_path() / "smtp_sink.py";
}

// A child process with pipes to its standard input and output; killed and reaped when the
// object goes, whatever happened in the test.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Child() {
        CloseInput();  // the sink ends by itself when its input closes
        if (pid_ > 0 && !Reaped(2s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    void CloseInput() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }
    // What the child writes until it closes its output (or, with untilLine, until the first
    // line is complete), within the limit.
    std::string Read(std::chrono::milliseconds limit, bool untilLine = false) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            if (untilLine && text.find('\n') != std::string::npos) break;
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    // The exit code once the child has ended within the limit (-1: ended by a signal).
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        return Reaped(limit) ? std::optional<int>(status_) : std::nullopt;
    }

private:
    bool Reaped(std::chrono::milliseconds limit) {
        if (reaped_ || pid_ <= 0) return reaped_;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

inline bool AiosmtpdInstalled() {
    if (access(Python, X_OK) != 0) return false;
    Child probe({Python, "-c", "import aiosmtpd.smtp"});
    return probe.Started() && probe.Wait(20s) == 0;
}

inline bool Accepts(const std::string& host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

inline std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// A test certificate authority and a server certificate for the given names, made with
// python3-trustme in a folder of its own, removed when the object goes.
class Certificates {
public:
    explicit Certificates(const std::vector<std::string>& names) {
        char folder[] = "/tmp/avlo-smtp-certs-XXXXXX";
        if (!mkdtemp(folder)) return;
        folder_ = folder;
        std::vector<std::string> args{Python, Script().string(), "certs", folder_};
        args.insert(args.end(), names.begin(), names.end());
        Child maker(args);
        made_ = maker.Started() && maker.Wait(30s) == 0 && fs::exists(Chain());
    }
    ~Certificates() {
        std::error_code ignored;
        if (!folder_.empty()) fs::remove_all(folder_, ignored);
    }
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;

    bool Made() const { return made_; }
    std::string Ca() const { return folder_ + "/ca.pem"; }
    std::string Chain() const { return folder_ + "/server.pem"; }
    std::string Key() const { return folder_ + "/server.key"; }
    // The options of smtp_sink.py's serve that give the server this certificate.
    std::vector<std::string> ServeOptions() const { return {"--cert", Chain(), "--key", Key()}; }

private:
    std::string folder_;
    bool made_ = false;
};

// The running server with its own message folder; stopped, and the folder removed, when
// the object goes. `options` are those of smtp_sink.py's serve (TLS, sign-in).
class Server {
public:
    explicit Server(const std::string& host, const std::vector<std::string>& options = {})
        : host_(host) {
        char folder[] = "/tmp/avlo-smtp-sink-XXXXXX";
        if (!mkdtemp(folder)) return;
        folder_ = folder;
        std::vector<std::string> args{Python, Script().string(), "serve", host, folder_};
        args.insert(args.end(), options.begin(), options.end());
        child_.emplace(args);
        if (!child_->Started()) return;
        const std::string line = child_->Read(20s, true);
        std::istringstream ports(line);
        ports >> port_ >> implicitPort_;
        // The port is printed once it listens; still, wait until it really accepts.
        for (int i = 0; port_ > 0 && i < 100 && !Accepts(host_, port_); ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Server() {
        child_.reset();
        if (!folder_.empty()) {
            std::error_code ignored;
            fs::remove_all(folder_, ignored);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Running() const { return port_ > 0 && Accepts(host_, port_); }
    std::string PortText() const { return std::to_string(port_); }
    // The port with TLS from the first byte (--implicit); 0 without it.
    std::string ImplicitPortText() const { return std::to_string(implicitPort_); }

    // The path of stored message n (1, 2, ...) once it is there.
    std::optional<fs::path> WaitMessage(int n, std::chrono::milliseconds limit) const {
        const fs::path path = fs::path(folder_) / (std::to_string(n) + ".eml");
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!fs::exists(path)) {
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
        return path;
    }
    // The envelope of message n: sender first, then the recipients.
    std::vector<std::string> Envelope(int n) const { return Lines(n, ".env"); }
    // How message n's sender signed in ("PLAIN user"); empty without a sign-in.
    std::string SignIn(int n) const {
        const std::vector<std::string> lines = Lines(n, ".auth");
        return lines.empty() ? std::string() : lines.front();
    }
    // How many messages the server stored.
    int Stored() const {
        int n = 0;
        while (fs::exists(fs::path(folder_) / (std::to_string(n + 1) + ".eml"))) ++n;
        return n;
    }

private:
    std::vector<std::string> Lines(int n, const char* suffix) const {
        std::ifstream in(fs::path(folder_) / (std::to_string(n) + suffix));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string host_;
    std::string folder_;
    std::optional<Child> child_;
    int port_ = 0;
    int implicitPort_ = 0;
};

// The fields that Python's mail parser reads from a stored message (names as smtp_sink.py
// prints them); empty when the parser failed.
inline std::map<std::string, std::string> Parse(const fs::path& message) {
    Child parser({Python, Script().string(), "parse", message.string()});
    std::istringstream out(parser.Read(20s));
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(out, line);) {
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos)
            fields[line.substr(0, blank)] = FromHex(line.substr(blank + 1));
    }
    if (parser.Wait(5s) != 0) fields.clear();
    return fields;
}

}  // namespace smtpsink
