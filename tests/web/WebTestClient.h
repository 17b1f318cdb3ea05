#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <string>

// Clients for the service's tests, on 127.0.0.1 only: a bare TCP connection, and a TLS one
// that trusts exactly the given certificate file and checks the address against it.

int ConnectLoopback(unsigned short port);  // blocking connect; -1 on failure

struct TlsOffer {
    int minVersion = TLS1_2_VERSION;
    int maxVersion = 0;  // 0: the newest
};

class TlsClient {
public:
    TlsClient() = default;
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Connects and completes the handshake; false with *error set.
    bool Connect(unsigned short port, const std::string& caFile, TlsOffer offer = {},
                 std::string* error = nullptr);
    bool Send(const std::string& bytes);
    // Reads until the peer closes, `until` appears in what came, or the time is up.
    std::string Receive(std::chrono::milliseconds limit, const std::string& until = {});
    // True when the peer has closed the connection (checked without waiting long).
    bool PeerClosed(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    int fd() const { return fd_; }

private:
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
};

// One whole request on a fresh connection; the response as received (empty on failure).
std::string HttpsExchange(unsigned short port, const std::string& caFile,
                          const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

// Plain TCP: send, then read until close or the time is up.
std::string PlainExchange(unsigned short port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

// "HTTP/1.1 431 ..." -> 431; 0 when there is no status line.
int StatusOf(const std::string& response);
