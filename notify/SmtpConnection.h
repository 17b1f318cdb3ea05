#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "notify/SmtpProtocol.h"
#include "notify/SmtpTls.h"

class CEvent;

// The connection of one delivery to the SMTP server: connects within the connect limit,
// sends, and reads whole replies within the reply limit, in the clear or, once StartTls has
// succeeded, through TLS. Every wait also ends when `abort` is signalled; `stop` is then
// set, and the waiting call returns SmtpStopped.
class CSmtpConnection {
public:
    // Sees the length of every piece handed to the socket's send call.
    using SendObserver = std::function<void(std::size_t bytes)>;

    CSmtpConnection(CEvent& abort, const std::atomic<bool>& stop, const SendObserver* observer);
    ~CSmtpConnection();
    CSmtpConnection(const CSmtpConnection&) = delete;
    CSmtpConnection& operator=(const CSmtpConnection&) = delete;

    // Makes the socket, resolves host and port (IPv4; a wait that `abort` ends, see
    // ResolveSmtpServer) and connects to the first address.
    SmtpResult Open(const std::string& host, const std::string& port);
    // Sends all of `bytes`. A stop request ends the send early and counts as success: the
    // next reply read reports it.
    SmtpResult Send(std::string_view bytes);
    // Sends `text` in pieces of at most SmtpChunkBytes.
    SmtpResult SendChunked(std::string_view text);
    // Reads the next whole reply and gives its code (-1: not a three-digit code) and, with
    // `lines`, the text of its lines.
    SmtpResult ReadReply(int& code, std::vector<std::string>* lines = nullptr);
    // The TLS handshake over the open connection, within the reply limit: SmtpOk, or
    // SmtpTlsHandshakeFailed or SmtpCertificateRejected with the reason, SmtpReplyTimeout
    // for a server that stalls, SmtpStopped. Whatever came in the clear and was not read
    // yet is dropped first.
    SmtpResult StartTls(const std::string& host, const std::string& caFile, std::string& reason);
    bool Encrypted() const { return tls_ != nullptr; }
    // The address literal of the connection's own end ("[127.0.0.1]"); empty when unknown.
    std::string LocalAddressLiteral() const;
    void Close();

private:
    bool Stopped() const { return stop_.load(std::memory_order_acquire); }
    SmtpResult WaitConnected();
    // Waits until the socket is ready for `events` (POLLIN, POLLOUT): SmtpOk, SmtpStopped,
    // SmtpReplyTimeout at the deadline, SmtpSocketError.
    SmtpResult WaitReady(short events, long long deadlineMs);
    // One write, in the clear or through TLS: `written` bytes went out, or `waitFor` says for
    // what the socket must be ready before the next try; any other outcome ends the send.
    SmtpResult WriteOnce(std::string_view bytes, std::size_t& written, short& waitFor);
    // One read through TLS into the reply reader: SmtpOk when bytes came.
    SmtpResult ReceiveTls(long long deadlineMs);

    CEvent& abort_;
    const std::atomic<bool>& stop_;
    const SendObserver* observer_;
    int fd_ = -1;
    CSmtpReplyReader reader_;
    std::unique_ptr<CSmtpTlsSession> tls_;
};
