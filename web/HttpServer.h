#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "web/WebHandler.h"

// The bounds that keep the service answering under load and against clients that hold
// connections open without saying anything. Tests shorten them.
struct WebLimits {
    std::size_t maxConnections = 64;
    std::size_t maxHeaderBytes = 8 * 1024;  // more: 431
    std::size_t maxBodyBytes = 64 * 1024;   // more: 413
    // Each counted from the start of its phase, not from the last byte received, so a client
    // that trickles a byte now and then is still dropped.
    std::chrono::milliseconds handshakeTime{10000};  // connection to the end of the TLS handshake
    std::chrono::milliseconds headerTime{10000};     // waiting for a request, to its header's end
    std::chrono::milliseconds bodyTime{10000};       // the end of the header to the end of the body
    std::chrono::milliseconds writeTime{10000};      // to send one response (or stream part)
    std::chrono::milliseconds streamHeartbeat{15000};  // a comment line on a quiet stream
    int workerThreads = 2;                             // where handlers run
};

// Where and how the service listens.
struct HttpServerConfig {
    std::string address = "127.0.0.1";
    unsigned short port = 8470;  // 0: any free port (tests), see Port()
    bool tls = true;
    std::string certFile;  // PEM; with tls only
    std::string keyFile;
    WebLimits limits;
};

// The HTTP(S) service: one network thread with every connection on it, and a few worker
// threads for the handler, so a slow page never holds up the others' reads and writes.
// Connections beyond the cap make room by dropping the connection that has waited longest
// without a request under way; when none is waiting, the newcomer is closed.
class HttpServer {
public:
    HttpServer(HttpServerConfig config, std::shared_ptr<IWebHandler> handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and starts the threads. False with *error set (the port is taken, the
    // certificate or key cannot be read, the address is not one) and nothing running.
    bool Start(std::string* error);
    void Stop();

    unsigned short Port() const;          // the port listened on, once started
    std::size_t ConnectionCount() const;  // open connections, any thread may ask

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
