#include "notify/SmtpConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "notify/SmtpResolver.h"
#include "platform/Event.h"
#include "platform/Wait.h"

namespace {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int RemainingMs(long long deadlineMs) {
    return static_cast<int>(std::max(0LL, deadlineMs - NowMs()));
}

// The peer ended the connection, in an orderly way or by a reset.
bool IsClosedByPeer(int err) {
    return err == ECONNRESET || err == EPIPE;
}

}  // namespace

CSmtpConnection::CSmtpConnection(CEvent& abort, const std::atomic<bool>& stop,
                                 const SendObserver* observer)
    : abort_(abort), stop_(stop), observer_(observer) {}

CSmtpConnection::~CSmtpConnection() {
    Close();
}

void CSmtpConnection::Close() {
    tls_.reset();
    reader_.Clear();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

std::string CSmtpConnection::LocalAddressLiteral() const {
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return {};
    return FormatSmtpAddressLiteral(reinterpret_cast<const sockaddr*>(&local));
}

SmtpResult CSmtpConnection::Open(const std::string& host, const std::string& port) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return SmtpNoSocket;
    // The message goes out in several pieces before the next reply is read; with Nagle's
    // rule each piece after the first would wait for the server's delayed acknowledgement.
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in address{};
    const SmtpResult resolved = ResolveSmtpServer(host, port, abort_, stop_, address);
    if (resolved != SmtpOk) return resolved;
    int rc;
    do {
        rc = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR && !Stopped());
    const int err = errno;
    if (rc == 0) return SmtpOk;
    // An interrupted connect goes on in the background, like one in progress.
    if (err == EINPROGRESS || err == EALREADY || err == EINTR) return WaitConnected();
    // A refusal that is known at once is still a refused connection.
    if (err == ECONNREFUSED || err == ETIMEDOUT) return SmtpConnectFailed;
    return MapSocketError(err);
}

SmtpResult CSmtpConnection::WaitConnected() {
    const WaitResult wait =
        WaitForAny({WaitItem::Peek(abort_), WaitItem::Socket(fd_, POLLOUT)}, SmtpConnectWaitMs);
    if (Stopped() || wait.index == 0) return SmtpStopped;
    if (wait.index == WaitTimeout) return SmtpConnectFailed;
    if (wait.index != 1) return SmtpSocketError;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return MapSocketError(errno);
    // Bytes that came with the connection are the start of the greeting: they stay queued
    // in the socket for the first reply read.
    return error == 0 ? SmtpOk : SmtpConnectFailed;
}

SmtpResult CSmtpConnection::WaitReady(short events, long long deadlineMs) {
    const WaitResult wait = WaitForAny({WaitItem::Peek(abort_), WaitItem::Socket(fd_, events)},
                                       RemainingMs(deadlineMs));
    if (Stopped() || wait.index == 0) return SmtpStopped;
    // A server that takes or sends nothing for the whole reply limit is as good as silent.
    if (wait.index == WaitTimeout) return SmtpReplyTimeout;
    return wait.index == 1 ? SmtpOk : SmtpSocketError;
}

SmtpResult CSmtpConnection::Send(std::string_view bytes) {
    if (fd_ < 0) return SmtpNoSocket;
    const long long deadline = NowMs() + SmtpReplyWaitMs;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (Stopped()) return SmtpOk;
        const std::size_t left = bytes.size() - sent;
        if (observer_ && *observer_) (*observer_)(left);
        std::size_t written = 0;
        short waitFor = 0;
        const SmtpResult result = WriteOnce(bytes.substr(sent), written, waitFor);
        if (result != SmtpOk) return result;
        sent += written;
        if (waitFor == 0) continue;
        const SmtpResult waited = WaitReady(waitFor, deadline);
        if (waited == SmtpStopped) return SmtpOk;
        if (waited != SmtpOk) return waited;
    }
    return SmtpOk;
}

SmtpResult CSmtpConnection::WriteOnce(std::string_view bytes, std::size_t& written,
                                      short& waitFor) {
    written = 0;
    waitFor = 0;
    if (tls_) {
        const int n = SSL_write(tls_->Handle(), bytes.data(), static_cast<int>(bytes.size()));
        if (n > 0) {
            written = static_cast<std::size_t>(n);
            return SmtpOk;
        }
        const int error = SSL_get_error(tls_->Handle(), n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            waitFor = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
            return SmtpOk;
        }
        SmtpTlsErrorText("");
        return SmtpConnectionClosed;
    }
    const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
        written = static_cast<std::size_t>(n);
        return SmtpOk;
    }
    const int err = errno;
    if (err == EINTR) return SmtpOk;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        waitFor = POLLOUT;
        return SmtpOk;
    }
    if (IsClosedByPeer(err)) return SmtpConnectionClosed;
    const SmtpResult mapped = MapSocketError(err);
    return mapped == SmtpOk ? SmtpSocketError : mapped;
}

SmtpResult CSmtpConnection::SendChunked(std::string_view text) {
    for (std::size_t from = 0; from < text.size(); from += SmtpChunkBytes) {
        const SmtpResult result = Send(text.substr(from, SmtpChunkBytes));
        if (result != SmtpOk) return result;
    }
    return SmtpOk;
}

SmtpResult CSmtpConnection::ReadReply(int& code, std::vector<std::string>* lines) {
    if (fd_ < 0) return SmtpNoSocket;
    const long long deadline = NowMs() + SmtpReplyWaitMs;
    for (;;) {
        if (Stopped()) return SmtpStopped;
        if (reader_.TakeReply(code, lines)) return SmtpOk;
        if (tls_) {
            const SmtpResult received = ReceiveTls(deadline);
            if (received != SmtpOk) return received;
            continue;
        }
        const WaitResult wait =
            WaitForAny({WaitItem::Peek(abort_), WaitItem::Socket(fd_, POLLIN | POLLRDHUP)},
                       RemainingMs(deadline));
        if (Stopped() || wait.index == 0) return SmtpStopped;
        if (wait.index == WaitTimeout) return SmtpReplyTimeout;
        if (wait.index != 1) return SmtpConnectionClosed;
        char buffer[SmtpReceiveBytes];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            reader_.Add(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) return SmtpConnectionClosed;
        const int err = errno;
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
        if (IsClosedByPeer(err)) return SmtpConnectionClosed;
        const SmtpResult mapped = MapSocketError(err);
        return mapped == SmtpOk ? SmtpSocketError : mapped;
    }
}

SmtpResult CSmtpConnection::StartTls(const std::string& host, const std::string& caFile,
                                     std::string& reason) {
    if (fd_ < 0) return SmtpNoSocket;
    // A server (or someone in between) may send more after its "220" to STARTTLS; read as
    // if it had come encrypted, it could answer the commands still to come.
    reader_.Clear();
    auto session = std::make_unique<CSmtpTlsSession>();
    SmtpResult result = session->Prepare(fd_, host, caFile, reason);
    if (result != SmtpOk) return result;
    // The same limit as a reply: a server that stalls in the handshake is as good as silent.
    const long long deadline = NowMs() + SmtpReplyWaitMs;
    for (;;) {
        if (Stopped()) return SmtpStopped;
        const int rc = SSL_connect(session->Handle());
        if (rc == 1) break;
        const int error = SSL_get_error(session->Handle(), rc);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            return session->HandshakeFailure(error, reason);
        }
        result = WaitReady(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline);
        if (result == SmtpSocketError) {
            reason = "the connection failed during the handshake";
            return SmtpTlsHandshakeFailed;
        }
        if (result != SmtpOk) return result;
    }
    tls_ = std::move(session);
    return SmtpOk;
}

SmtpResult CSmtpConnection::ReceiveTls(long long deadlineMs) {
    for (;;) {
        if (Stopped()) return SmtpStopped;
        char buffer[SmtpReceiveBytes];
        const int n = SSL_read(tls_->Handle(), buffer, sizeof buffer);
        if (n > 0) {
            reader_.Add(buffer, static_cast<std::size_t>(n));
            return SmtpOk;
        }
        const int error = SSL_get_error(tls_->Handle(), n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            const SmtpResult waited =
                WaitReady(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadlineMs);
            if (waited != SmtpOk) return waited;
            continue;
        }
        // An orderly close_notify, a closed socket or a broken record: the server is gone.
        SmtpTlsErrorText("");
        return SmtpConnectionClosed;
    }
}
