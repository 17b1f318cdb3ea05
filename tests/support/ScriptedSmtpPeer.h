#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/UnacceptingListener.h"

// A small SMTP server for tests that does what its script says, one script per accepted
// connection: send bytes (in pieces, with delays), expect a command line, take the message
// after DATA, stay silent, close. It records every line the client sends, and it notes a
// client that speaks before the reply it waits for is complete: a client that reads
// replies in pieces gets out of step exactly there.
class ScriptedSmtpPeer {
public:
    struct Step {
        enum class Kind { Send, Expect, Data, Silent, Close };
        Kind kind;
        std::string text;
        int ms = 0;  // Send: delay before sending; Silent: how long
    };
    using Script = std::vector<Step>;

    struct Session {
        std::vector<std::string> lines;  // command lines, without CR LF, data excluded
        std::string data;                // the message as it came, up to the "." line
        bool dataComplete = false;
        std::string clientAddress;  // the client's end of the connection, dotted
    };

    static Step Send(std::string bytes, int delayMs = 0) {
        return Step{Step::Kind::Send, std::move(bytes), delayMs};
    }
    static Step Reply(const std::string& line, int delayMs = 0) {
        return Send(line + "\r\n", delayMs);
    }
    // One command line; "*" takes any line.
    static Step Expect(std::string line) { return Step{Step::Kind::Expect, std::move(line), 0}; }
    static Step Data() { return Step{Step::Kind::Data, {}, 0}; }
    static Step Silent(int ms) { return Step{Step::Kind::Silent, {}, ms}; }
    static Step Close() { return Step{Step::Kind::Close, {}, 0}; }

    // Listens at once on `address` with a port the system picks.
    explicit ScriptedSmtpPeer(const std::string& address) : address_(address) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        const int one = 1;
        if (listener_ < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
            setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(listener_, Addr(sa), sizeof sa) != 0 || listen(listener_, 8) != 0) {
            return;
        }
        socklen_t size = sizeof sa;
        if (getsockname(listener_, Addr(sa), &size) == 0) port_ = ntohs(sa.sin_port);
    }

    ~ScriptedSmtpPeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
    ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;

    bool Listening() const { return port_ != 0; }
    const std::string& Address() const { return address_; }
    std::string PortText() const { return std::to_string(port_); }

    // Serves the scripts on a thread of the peer, one accepted connection each, in order.
    void Serve(std::vector<Script> scripts) {
        thread_ = std::thread([this, scripts = std::move(scripts)] {
            for (const Script& script : scripts) {
                if (!ServeOne(script)) break;
            }
            std::lock_guard lock(mutex_);
            finished_ = true;
            cv_.notify_all();
        });
    }
    void Serve(Script script) { Serve(std::vector<Script>{std::move(script)}); }

    bool WaitAccepted(std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return sessions_.size() >= count; });
    }
    // True when every script has run and its connection has ended.
    bool WaitFinished(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return finished_; });
    }
    Session Get(std::size_t index) {
        std::lock_guard lock(mutex_);
        return index < sessions_.size() ? sessions_[index] : Session{};
    }
    std::vector<std::string> Failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }

    // Longest a step waits for the client: beyond the client's own reply limit.
    static constexpr int StepLimitMs = 12000;
    // How long the peer listens for more after its script, until the client closes.
    static constexpr int AfterScriptMs = 3000;

private:
    static sockaddr* Addr(sockaddr_in& sa) { return reinterpret_cast<sockaddr*>(&sa); }
    static long long NowMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    void Fail(const std::string& what) {
        std::lock_guard lock(mutex_);
        failures_.push_back(what);
    }
    void Record(std::string line) {
        std::lock_guard lock(mutex_);
        sessions_.back().lines.push_back(std::move(line));
    }

    // Waits for `fd` to be readable in short turns, so that the destructor is never kept
    // waiting. False on time-out or stop.
    bool WaitReadable(int fd, long long deadline) {
        while (!stop_ && NowMs() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }

    bool ServeOne(const Script& script) {
        if (!WaitReadable(listener_, NowMs() + StepLimitMs)) {
            if (!stop_) Fail("no connection came");
            return false;
        }
        sockaddr_in client{};
        socklen_t size = sizeof client;
        fd_ = accept4(listener_, Addr(client), &size, SOCK_CLOEXEC);
        if (fd_ < 0) return false;
        input_.clear();
        clientClosed_ = false;
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &client.sin_addr, dotted, sizeof dotted);
        {
            std::lock_guard lock(mutex_);
            sessions_.emplace_back();
            sessions_.back().clientAddress = dotted;
            cv_.notify_all();
        }
        bool open = true;
        for (const Step& step : script) {
            if (!(open = RunStep(step))) break;
        }
        if (open) ListenUntilClosed(NowMs() + AfterScriptMs);
        close(fd_);
        fd_ = -1;
        return !stop_;
    }

    bool RunStep(const Step& step) {
        switch (step.kind) {
            case Step::Kind::Send:
                return SendStep(step);
            case Step::Kind::Expect:
                return ExpectStep(step.text);
            case Step::Kind::Data:
                return DataStep();
            case Step::Kind::Silent:
                ListenUntilClosed(NowMs() + step.ms);
                return !stop_;
            case Step::Kind::Close:
                return false;
        }
        return false;
    }

    bool SendStep(const Step& step) {
        const long long until = NowMs() + step.ms;
        while (!stop_ && NowMs() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // The client never sends a command before the reply it waits for is complete.
        if (HasUnreadInput()) Fail("client spoke before the reply was complete: " + Peek());
        std::size_t sent = 0;
        while (sent < step.text.size()) {
            const ssize_t n =
                send(fd_, step.text.data() + sent, step.text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return !stop_;  // the client may be gone already; later steps tell
            sent += static_cast<std::size_t>(n);
        }
        return !stop_;
    }

    bool ExpectStep(const std::string& expected) {
        const std::optional<std::string> line = ReadLine(NowMs() + StepLimitMs);
        if (!line) {
            Fail("expected \"" + expected + "\", the client sent nothing more");
            return false;
        }
        Record(*line);
        if (expected != "*" && *line != expected) {
            Fail("expected \"" + expected + "\", got \"" + *line + "\"");
            return false;
        }
        return true;
    }

    bool DataStep() {
        const long long deadline = NowMs() + StepLimitMs;
        std::string data;
        for (;;) {
            const std::optional<std::string> line = ReadLine(deadline);
            if (!line) {
                Fail("the message did not end with a \".\" line");
                return false;
            }
            if (*line == ".") break;
            data += *line + "\r\n";
        }
        std::lock_guard lock(mutex_);
        sessions_.back().data = std::move(data);
        sessions_.back().dataComplete = true;
        return true;
    }

    void ListenUntilClosed(long long deadline) {
        while (std::optional<std::string> line = ReadLine(deadline)) Record(*line);
    }

    bool HasUnreadInput() {
        if (input_.empty() && !clientClosed_) Fill(0);
        return !input_.empty();
    }
    std::string Peek() const { return input_.substr(0, input_.find('\r')); }

    // Reads what is there (waiting up to waitMs); false when the client has closed.
    bool Fill(int waitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return true;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            clientClosed_ = true;
            return false;
        }
        input_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    // The next line the client sent, without its CR LF; nullopt when it closed first, on
    // time-out or on stop.
    std::optional<std::string> ReadLine(long long deadline) {
        for (;;) {
            const std::size_t end = input_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = input_.substr(0, end);
                input_.erase(0, end + 2);
                return line;
            }
            if (clientClosed_ || stop_ || NowMs() >= deadline) return std::nullopt;
            Fill(20);
        }
    }

    const std::string address_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};

    // The peer thread's own.
    int fd_ = -1;
    std::string input_;
    bool clientClosed_ = false;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Session> sessions_;
    std::vector<std::string> failures_;
    bool finished_ = false;

    std::thread thread_;
};
