#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace devsim {

// Owns one file descriptor; closing happens exactly once, whoever ends up holding it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset();

private:
    int fd_ = -1;
};

bool ParseIPv4(const std::string& text, in_addr& out);
sockaddr_in MakeAddress(const in_addr& address, std::uint16_t port);
std::string AddressText(const sockaddr_in& address);

// The text of the current errno, prefixed by what was being attempted.
std::string ErrnoText(const std::string& what);

// Sockets are non-blocking and close-on-exec. SO_REUSEADDR is set before bind because the
// monitor and the simulator share the discovery port, and because restarts must not wait
// for TIME_WAIT to expire.
Fd OpenTcpListener(const in_addr& address, std::uint16_t port, std::string& error);
Fd OpenUdpSocket(const in_addr& address, std::uint16_t port, bool broadcast, std::string& error);

// Closes with a reset instead of an orderly shutdown.
void CloseWithReset(Fd& fd);

}  // namespace devsim
