#pragma once

// A TCP port on 127.0.0.1 that nobody listens on, and the same port held by a listener, for
// tests that need a free port or a taken one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A socket bound to a port the system chose on 127.0.0.1, its number in *port; -1 (and
// *port 0) when that failed. The caller closes it.
inline int BoundLoopbackSocket(int* port) {
    *port = 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// A port nobody listens on just now.
inline int FreeLoopbackPort() {
    int port = 0;
    const int fd = BoundLoopbackSocket(&port);
    if (fd >= 0) close(fd);
    return port;
}

// A port that is taken: a listener holds it until the returned socket is closed.
inline int HeldLoopbackPort(int* port) {
    const int fd = BoundLoopbackSocket(port);
    if (fd >= 0 && listen(fd, 1) != 0) {
        close(fd);
        *port = 0;
        return -1;
    }
    return fd;
}
