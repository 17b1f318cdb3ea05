#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// A listener that does not accept, its backlog (0) filled by one connection of its own: the
// kernel drops the SYN of any further connect, which then never completes, as with a host
// that does not answer. MakeRoom takes the filler off the queue, so that the next connect
// gets through (and stays in the queue, never accepted).
class UnacceptingListener {
public:
    explicit UnacceptingListener(const std::string& address) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        socklen_t size = sizeof sa;
        if (listener_ < 0 || filler_ < 0 ||
            inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
            bind(listener_, Addr(sa), sizeof sa) != 0 || listen(listener_, 0) != 0 ||
            getsockname(listener_, Addr(sa), &size) != 0 ||
            connect(filler_, Addr(sa), sizeof sa) != 0) {
            return;
        }
        port_ = ntohs(sa.sin_port);
    }
    ~UnacceptingListener() {
        for (const int fd : {accepted_, filler_, listener_}) {
            if (fd >= 0) close(fd);
        }
    }
    UnacceptingListener(const UnacceptingListener&) = delete;
    UnacceptingListener& operator=(const UnacceptingListener&) = delete;

    bool Ready() const { return port_ != 0; }
    std::string PortText() const { return std::to_string(port_); }
    bool MakeRoom() {
        if (accepted_ < 0) accepted_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return accepted_ >= 0;
    }

private:
    static sockaddr* Addr(sockaddr_in& sa) { return reinterpret_cast<sockaddr*>(&sa); }
    int listener_ = -1;
    int filler_ = -1;
    int accepted_ = -1;
    std::uint16_t port_ = 0;
};
