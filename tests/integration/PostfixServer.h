#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

#include "integration/SmtpSink.h"

// A private, strict Postfix (Debian's, through postfix_server.sh) for tests that need a mail
// server that refuses what careful providers refuse: a HELO name that is not a host name,
// 8-bit data without a transfer encoding, a bare line feed, envelope addresses outside the
// angle brackets. It listens on a loopback address only, delivers mail for Domain into a
// maildir the test reads, relays nothing, and stops when the object goes (or, should the
// test process die, when the script's input closes).
//
//     postfixtest::PostfixServer server;
//     ASSERT_TRUE(server.Start()) << server.Log();
//     ... deliver to server.Address():server.PortText(), to "someone@avlo.test" ...
//     auto files = server.WaitMessages(1, 10s);
//     auto fields = smtpsink::Parse(files[0]);  // Python's mail parser, see smtp_sink.py
namespace postfixtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The domain the server delivers: every local part of it reaches the mailbox unless the
// server was given the only names that exist.
inline const std::string Domain = "avlo.test";

inline fs::path Script() {
    if (const char* root = std::getenv("AVLO_SOURCE_DIR")) {
        return fs::path(root) / "tests/integration/postfix_server.sh";
    }
    return fs::path(__FILE__).parent_path() / "postfix_server.sh";
}

inline bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// Why this machine cannot run the server; empty when it can.
inline std::string Unavailable() {
    if (geteuid() != 0) return "a private Postfix needs root (its master process runs as root)";
    if (access("/usr/sbin/postfix", X_OK) != 0) {
        return "Debian's postfix is not installed (scripts/setup.sh installs it)";
    }
    if (access(smtpsink::Python, X_OK) != 0) return "/usr/bin/python3 is missing";
    return {};
}

// A port nobody listens on at `address` just now.
inline int FreePort(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t size = sizeof sa;
    int port = 0;
    if (fd >= 0 && inet_pton(AF_INET, address.c_str(), &sa.sin_addr) == 1 &&
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size) == 0) {
        port = ntohs(sa.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

class PostfixServer {
public:
    // `mailboxes`: the only local parts that exist (others are refused at RCPT TO); none
    // given, every local part of Domain exists.
    explicit PostfixServer(std::string address = "127.0.0.1",
                           std::vector<std::string> mailboxes = {})
        : address_(std::move(address)), mailboxes_(std::move(mailboxes)) {}
    ~PostfixServer() {
        if (child_) {
            child_->CloseInput();  // the script stops Postfix and ends
            child_->Wait(15s);
            child_.reset();
        }
        if (!folder_.empty()) {
            std::error_code ignored;
            fs::remove_all(folder_, ignored);
        }
    }
    PostfixServer(const PostfixServer&) = delete;
    PostfixServer& operator=(const PostfixServer&) = delete;

    // Starts the server on `port` (0: a free one) and waits until it accepts connections.
    bool Start(int port = 0) {
        char folder[] = "/tmp/avlo-postfix-XXXXXX";
        if (!mkdtemp(folder)) return false;
        folder_ = folder;
        port_ = port != 0 ? port : FreePort(address_);
        if (port_ == 0) return false;
        std::vector<std::string> args{"/bin/bash", Script().string(), address_,
                                      std::to_string(port_), folder_};
        args.insert(args.end(), mailboxes_.begin(), mailboxes_.end());
        child_.emplace(args);
        if (!child_->Started()) return false;
        // Postfix checks its configuration and starts its master: a few seconds at most.
        const std::string line = child_->Read(30s, true);
        return line.starts_with("ready") && smtpsink::Accepts(address_, port_);
    }

    const std::string& Address() const { return address_; }
    int port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // The delivered messages, one file per recipient, oldest first.
    std::vector<fs::path> Messages() const {
        std::vector<fs::path> files;
        std::error_code error;
        for (const auto& entry :
             fs::directory_iterator(fs::path(folder_) / "mail/maildir/new", error)) {
            files.push_back(entry.path());
        }
        // Maildir names start with the delivery time in seconds, then a sequence.
        std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
            const auto time = [](const fs::path& p) { return std::stoll(p.filename().string()); };
            return time(a) != time(b) ? time(a) < time(b) : a < b;
        });
        return files;
    }
    // Waits until at least `count` messages are delivered; returns what is there by then.
    std::vector<fs::path> WaitMessages(std::size_t count, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<fs::path> files = Messages();
        while (files.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            files = Messages();
        }
        return files;
    }
    // Python's mail parser's reading of every delivered message, keyed by its recipient
    // (the Delivered-To header), for tests that check each one.
    std::map<std::string, std::map<std::string, std::string>> ParseByRecipient(
        std::size_t count, std::chrono::milliseconds limit) const {
        std::map<std::string, std::map<std::string, std::string>> parsed;
        for (const fs::path& file : WaitMessages(count, limit)) {
            auto fields = smtpsink::Parse(file);
            parsed[fields["delivered-to"]] = std::move(fields);
        }
        return parsed;
    }

    // The server's log, for a failure message: what it refused and why.
    std::string Log() const {
        std::ifstream in(fs::path(folder_) / "maillog");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string address_;
    std::vector<std::string> mailboxes_;
    std::string folder_;
    int port_ = 0;
    std::optional<smtpsink::Child> child_;
};

}  // namespace postfixtest
