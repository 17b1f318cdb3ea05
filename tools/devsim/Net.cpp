#include "tools/devsim/Net.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace devsim {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int Fd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ParseIPv4(const std::string& text, in_addr& out) {
    return ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

sockaddr_in MakeAddress(const in_addr& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = address;
    return sa;
}

std::string AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ':' + std::to_string(ntohs(address.sin_port));
}

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::system_category().message(errno);
}

namespace {

bool SetFlag(int fd, int level, int option) {
    const int on = 1;
    return ::setsockopt(fd, level, option, &on, sizeof on) == 0;
}

Fd OpenBound(int type, const in_addr& address, std::uint16_t port, bool broadcast,
             std::string& error) {
    const sockaddr_in sa = MakeAddress(address, port);
    const std::string where = AddressText(sa);
    Fd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = ErrnoText("socket for " + where);
        return {};
    }
    if (!SetFlag(fd.Get(), SOL_SOCKET, SO_REUSEADDR) ||
        (broadcast && !SetFlag(fd.Get(), SOL_SOCKET, SO_BROADCAST))) {
        error = ErrnoText("socket options for " + where);
        return {};
    }
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = ErrnoText("bind " + where);
        return {};
    }
    return fd;
}

}  // namespace

Fd OpenTcpListener(const in_addr& address, std::uint16_t port, std::string& error) {
    Fd fd = OpenBound(SOCK_STREAM, address, port, false, error);
    if (fd.Valid() && ::listen(fd.Get(), 8) != 0) {
        error = ErrnoText("listen " + AddressText(MakeAddress(address, port)));
        return {};
    }
    return fd;
}

Fd OpenUdpSocket(const in_addr& address, std::uint16_t port, bool broadcast, std::string& error) {
    return OpenBound(SOCK_DGRAM, address, port, broadcast, error);
}

void CloseWithReset(Fd& fd) {
    if (!fd.Valid()) return;
    const linger abort{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.Reset();
}

}  // namespace devsim
