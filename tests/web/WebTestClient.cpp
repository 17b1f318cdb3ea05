#include "WebTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

bool WaitReadable(int fd, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(left)) > 0;
}

}  // namespace

int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TlsClient::~TlsClient() {
    if (ssl_) SSL_free(ssl_);
    if (context_) SSL_CTX_free(context_);
    if (fd_ >= 0) close(fd_);
}

bool TlsClient::Connect(unsigned short port, const std::string& caFile, TlsOffer offer,
                        std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    context_ = SSL_CTX_new(TLS_client_method());
    // Old versions are only offered when the security level allows them at all.
    SSL_CTX_set_security_level(context_, 0);
    SSL_CTX_set_min_proto_version(context_, offer.minVersion);
    SSL_CTX_set_max_proto_version(context_, offer.maxVersion);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
        *error = "cannot load " + caFile;
        return false;
    }
    fd_ = ConnectLoopback(port);
    if (fd_ < 0) {
        *error = "cannot connect";
        return false;
    }
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
    // A read that meets only the server's session tickets comes back to Receive, which waits
    // for the rest within its time limit, instead of blocking in the library for good.
    SSL_clear_mode(ssl_, SSL_MODE_AUTO_RETRY);
    if (SSL_connect(ssl_) != 1) {
        *error = "handshake failed";
        return false;
    }
    return true;
}

bool TlsClient::Send(const std::string& bytes) {
    return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
}

std::string TlsClient::Receive(std::chrono::milliseconds limit, const std::string& until) {
    const auto deadline = Clock::now() + limit;
    std::string got;
    char chunk[4096];
    while (until.empty() || got.find(until) == std::string::npos) {
        if (SSL_pending(ssl_) == 0 && !WaitReadable(fd_, deadline)) break;
        const int n = SSL_read(ssl_, chunk, sizeof chunk);
        if (n <= 0) {
            const int reason = SSL_get_error(ssl_, n);
            if (reason == SSL_ERROR_WANT_READ) continue;
            break;
        }
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

bool TlsClient::PeerClosed(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char byte;
    const ssize_t n = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

std::string HttpsExchange(unsigned short port, const std::string& caFile,
                          const std::string& request, std::chrono::milliseconds limit) {
    TlsClient client;
    if (!client.Connect(port, caFile) || !client.Send(request)) return {};
    return client.Receive(limit);
}

std::string PlainExchange(unsigned short port, const std::string& request,
                          std::chrono::milliseconds limit) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return {};
    std::string got;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        const auto deadline = Clock::now() + limit;
        char chunk[4096];
        while (WaitReadable(fd, deadline)) {
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return got;
}

int StatusOf(const std::string& response) {
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
    return std::atoi(response.substr(9, 3).c_str());
}
