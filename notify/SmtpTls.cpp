#include "notify/SmtpTls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// The socket under the TLS session, written with MSG_NOSIGNAL: OpenSSL's own socket BIO uses
// write(), and a server that closes early would then end the whole program with SIGPIPE.
int BioFd(BIO* bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

bool ShouldRetry(ssize_t n) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

int BioWrite(BIO* bio, const char* data, int size) {
    const ssize_t n = send(BioFd(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    BIO_clear_retry_flags(bio);
    if (ShouldRetry(n)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
    const ssize_t n = recv(BioFd(bio), data, static_cast<std::size_t>(size), 0);
    BIO_clear_retry_flags(bio);
    if (ShouldRetry(n)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "smtp socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

// The system's certificate store. Its hashed folder is looked up one certificate at a time,
// as a handshake needs them; the bundle file would be parsed whole (some 40 ms) for every
// delivery, so it is taken only where there is no folder.
void UseSystemStore(SSL_CTX* ctx) {
    const char* env = std::getenv(X509_get_default_cert_dir_env());
    const char* folder = env && *env ? env : X509_get_default_cert_dir();
    struct stat st {};
    const bool hasFolder = stat(folder, &st) == 0 && S_ISDIR(st.st_mode);
    if (!hasFolder || SSL_CTX_set_default_verify_dir(ctx) != 1) {
        SSL_CTX_set_default_verify_file(ctx);
    }
    ERR_clear_error();
}

}  // namespace

std::string SmtpTlsErrorText(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    const char* reason = ERR_reason_error_string(code);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

CSmtpTlsSession::~CSmtpTlsSession() {
    Close();
}

SmtpResult CSmtpTlsSession::Prepare(int fd, const std::string& host, const std::string& caFile,
                                    std::string& reason) {
    Close();
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) {
        reason = SmtpTlsErrorText("no TLS context could be made");
        return SmtpTlsHandshakeFailed;
    }
    // Older versions are broken; no mail provider of today needs them.
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    UseSystemStore(ctx_);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
        reason = "the CA certificate file \"" + caFile +
                 "\" could not be read: " + SmtpTlsErrorText("no certificate in it");
        return SmtpTlsHandshakeFailed;
    }
    ssl_ = SSL_new(ctx_);
    BIO* bio = ssl_ && SocketMethod() ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        reason = SmtpTlsErrorText("no TLS session could be made");
        return SmtpTlsHandshakeFailed;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl_, bio, bio);  // the session owns it now
    // The certificate must name what the user typed: an address is checked as an address,
    // a name as a host name (no partial wildcards) and sent as the server name indication.
    bool named;
    if (IsAddress(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl_, host.c_str()) == 1 &&
                SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                         const_cast<char*>(host.c_str())) == 1;
    }
    if (!named) {
        reason = "the server name \"" + host + "\" cannot be checked against a certificate";
        return SmtpTlsHandshakeFailed;
    }
    return SmtpOk;
}

SmtpResult CSmtpTlsSession::HandshakeFailure(int sslError, std::string& reason) const {
    const long verified = ssl_ ? SSL_get_verify_result(ssl_) : X509_V_OK;
    if (verified != X509_V_OK) {
        ERR_clear_error();
        reason = X509_verify_cert_error_string(verified);
        return SmtpCertificateRejected;
    }
    if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) {
        const int err = errno;
        ERR_clear_error();
        reason = sslError == SSL_ERROR_SYSCALL && err != 0
                     ? std::string("connection error: ") + std::strerror(err)
                     : "the server closed the connection during the handshake";
        return SmtpTlsHandshakeFailed;
    }
    reason = SmtpTlsErrorText("the handshake failed");
    return SmtpTlsHandshakeFailed;
}

void CSmtpTlsSession::Close() {
    if (ssl_) {
        // One try, never a wait: the connection is about to be closed anyway.
        if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (ctx_) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    ERR_clear_error();
}
