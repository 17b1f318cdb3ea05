#pragma once

#include <string>

#include "notify/SmtpProtocol.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The TLS side of a delivery, through OpenSSL: a client context that speaks TLS 1.2 or later,
// trusts the system's certificate store and, when given, the certificates of one more file
// (a site's own certificate authority), and checks that the server's certificate is for the
// name the user typed.
class CSmtpTlsSession {
public:
    CSmtpTlsSession() = default;
    ~CSmtpTlsSession();
    CSmtpTlsSession(const CSmtpTlsSession&) = delete;
    CSmtpTlsSession& operator=(const CSmtpTlsSession&) = delete;

    // Prepares a session over the connected socket `fd` for `host` (a name or a dotted
    // address). SmtpOk, or SmtpTlsHandshakeFailed with the reason (a CA file that cannot be
    // read is one).
    SmtpResult Prepare(int fd, const std::string& host, const std::string& caFile,
                       std::string& reason);
    SSL* Handle() const { return ssl_; }
    // The outcome and reason of a handshake step that failed with OpenSSL's error `sslError`
    // (SSL_get_error): a certificate that verification refused, or any other failure.
    SmtpResult HandshakeFailure(int sslError, std::string& reason) const;
    // Says goodbye to the server (close_notify) without waiting for its answer, and frees.
    void Close();

private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

// OpenSSL's text for the oldest error of the calling thread's queue, and empties the queue;
// `fallback` when there is none.
std::string SmtpTlsErrorText(const char* fallback);
