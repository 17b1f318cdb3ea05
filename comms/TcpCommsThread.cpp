#include "comms/TcpCommsThread.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "platform/MessageTarget.h"
#include "platform/ThreadName.h"
#include "platform/Wait.h"

namespace {

// Receive errors that report a fault of the call or the network rather than of the link;
// they are reported and the link is left as it is.
bool IsReportedReadError(int err) {
    switch (err) {
        case EFAULT:
        case EINVAL:
        case EINPROGRESS:
        case ENOTSOCK:
        case EMSGSIZE:
        case EOPNOTSUPP:
        case ENETDOWN:
        case ENETRESET:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

}  // namespace

TTcpCommsThread::TTcpCommsThread(CData& store, std::string port, std::string host,
                                 IMessageTarget* window, std::uint16_t deviceId,
                                 TcpRetryLimits limits)
    : store_(store),
      port_(std::move(port)),
      host_(std::move(host)),
      window_(window),
      deviceId_(deviceId),
      longestWaitMs_(limits.longestWaitMs),
      reconnectWait_(RetryWaitMs, limits.longestWaitMs, limits.livedMs) {
    if (!sendEvent_.IsValid() || !reconnectEvent_.IsValid() || !stopEvent_.IsValid()) {
        startFailed_ = true;
        Notify(EvEnded);
    }
    thread_ = std::thread(&TTcpCommsThread::Run, this);
}

TTcpCommsThread::~TTcpCommsThread() {
    Stop();
    if (thread_.joinable()) thread_.join();
    CloseConnection();
}

bool TTcpCommsThread::Send(const char* text, int len, bool awaitsStatus) {
    if (!requests_.Push(text, len, awaitsStatus)) return false;
    sendEvent_.Set();
    return true;
}

void TTcpCommsThread::Reconnect() {
    reconnectEvent_.Set();
}

void TTcpCommsThread::Stop() {
    terminated_.store(true, std::memory_order_release);
    stopEvent_.Set();
}

void TTcpCommsThread::Notify(std::uint16_t code, std::uint32_t lParam) {
    if (window_) window_->Post(WM_TCPTHREAD, TcpThreadWParam(deviceId_, code), lParam);
}

void TTcpCommsThread::Run() {
    SetCurrentThreadName("TCP Thread");
    if (startFailed_) {
        ended_.store(true, std::memory_order_release);
        Notify(EvStarted);
        return;
    }
    state_ = SockNone;
    Notify(EvStarted);
    report_ = true;
    while (!Terminated()) {
        const int waitMs = state_ == SockConnected ? 0 : Attempt();
        if (state_ == SockConnected) {
            ReadPhase(IdleReadWaitMs, ReadEnd::Idle);
            if (state_ == SockConnected && reconnectWait_.Lived(Clock::now())) AnnounceLink();
        }

        const WaitResult wait = WaitForAny(
            {WaitItem::Of(stopEvent_), WaitItem::Of(reconnectEvent_), WaitItem::Of(sendEvent_)},
            waitMs);
        if (Terminated() || wait.index == 0) break;
        if (wait.index == 1) {
            // A connection that is there is re-checked on its socket. Without one (the last
            // attempt failed and its socket was closed) the reconnect is a fresh attempt
            // from a new socket, made at once: a connect step with nothing to connect would
            // only report a failure, and polls that come faster than the retry wait would
            // then keep a device that is back from ever being tried again.
            // The reconnect does not end a series of short-lived links: a peer that drops
            // every link would otherwise be reported again at every poll.
            state_ = socket_ >= 0 && addresses_ != nullptr ? SockReady : SockNone;
            report_ = true;
            nextAttempt_ = Clock::time_point{};
        } else if (wait.index == 2) {
            SendQueued();
        } else if (wait.index != WaitTimeout) {
            Notify(EvError);
        }
    }
    CloseConnection();
    ended_.store(true, std::memory_order_release);
    Notify(EvEnded);
}

void TTcpCommsThread::CloseConnection() {
    if (socket_ >= 0) {
        shutdown(socket_, SHUT_WR);
        close(socket_);
        socket_ = -1;
    }
    if (addresses_) {
        freeaddrinfo(addresses_);
        addresses_ = nullptr;
    }
}

// One connect attempt when its time has come (the open step, if needed, then the connect);
// returns how long to wait before the next turn.
int TTcpCommsThread::Attempt() {
    const Clock::time_point now = Clock::now();
    if (now < nextAttempt_) {
        return static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(nextAttempt_ - now).count());
    }
    if (state_ == SockNone) {
        if (!Open(report_)) return AttemptFailed();
        state_ = SockReady;
    }
    if (!Connect(report_)) {
        // A socket whose connect failed or is still pending cannot be reused for a fresh
        // attempt, so the next turn starts again from a new socket.
        CloseConnection();
        state_ = SockNone;
        return AttemptFailed();
    }
    state_ = SockConnected;
    return 0;
}

int TTcpCommsThread::AttemptFailed() {
    report_ = false;
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(RetryWaitMs);
    return RetryWaitMs;
}

// fresh: a new link, as opposed to a reconnect finding the standing one still connected.
void TTcpCommsThread::LinkUp(bool fresh) {
    if (fresh) {
        reconnectWait_.Connected(Clock::now());
        linkAnnounced_ = !seriesReported_;
    }
    Notify(EvConnected, linkAnnounced_ ? 0 : TcpLinkInSeries);
    Drain();
}

// The link has lasted, or the device answered on it: it ends the series of short-lived links
// as far as reports go, and one that went quietly is reported now.
void TTcpCommsThread::AnnounceLink() {
    seriesReported_ = false;
    report_ = true;
    if (linkAnnounced_) return;
    linkAnnounced_ = true;
    Notify(EvConnected);
}

void TTcpCommsThread::Lose(LinkState next) {
    // A link that went down soon after it was made counts as a failed attempt. The first
    // such loss may be a device that restarted, and is told of like any other; from the
    // second in a row on, the series has been told of and the next links go quietly.
    const Clock::time_point now = Clock::now();
    reconnectWait_.SetLongest(longestWaitMs_.load(std::memory_order_relaxed));
    const bool flapping = reconnectWait_.Failing() && !reconnectWait_.Lived(now);
    nextAttempt_ = now + std::chrono::milliseconds(reconnectWait_.Lost(now));
    if (!reconnectWait_.Failing()) seriesReported_ = false;
    if (flapping) seriesReported_ = true;
    report_ = !seriesReported_;
    if (next == SockNone) CloseConnection();
    framer_.Reset();
    // What was meant for this link is not kept for the next one: a mode switch must not
    // reach the device long after it was asked for. The loss itself is reported.
    requests_.Clear();
    Notify(EvLost);
    state_ = next;
}

bool TTcpCommsThread::Open(bool report) {
    CloseConnection();
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        if (report) Notify(EvError);
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host_.c_str(), port_.c_str(), &hints, &addresses_) != 0 || !addresses_) {
        addresses_ = nullptr;
        CloseConnection();
        if (report) Notify(EvError);
        return false;
    }
    return true;
}

bool TTcpCommsThread::Connect(bool report) {
    if (socket_ < 0 || addresses_ == nullptr) {
        if (report) Notify(EvError);
        return false;
    }
    const addrinfo* first = addresses_;
    int rc;
    do {
        rc = connect(socket_, first->ai_addr, first->ai_addrlen);
    } while (rc < 0 && errno == EINTR && !Terminated());
    if (rc < 0 && errno != EISCONN) {
        if (errno == EINPROGRESS || errno == EALREADY) return ConnectPending(report);
        if (report) Notify(EvError);
        return false;
    }
    LinkUp(rc == 0);
    return true;
}

bool TTcpCommsThread::ConnectPending(bool report) {
    const WaitResult wait =
        WaitForAny({WaitItem::Peek(stopEvent_), WaitItem::Socket(socket_, POLLOUT)}, ConnectWaitMs);
    if (wait.index == 0 || Terminated()) return false;
    if (wait.index == WaitTimeout) {
        if (report) Notify(EvConnectTimeout);
        return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (wait.index != 1 || getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
        error != 0) {
        if (report) Notify(EvError);
        return false;
    }
    LinkUp(true);
    return true;
}

void TTcpCommsThread::Drain() {
    char scrap[256];
    while (recv(socket_, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
}

// Sends what is waiting, oldest first, each followed by the wait for its answer.
void TTcpCommsThread::SendQueued() {
    if (state_ != SockConnected) {
        // Nothing can go out; the requests are not kept for a later link (see Lose).
        if (requests_.Clear() > 0) Notify(EvError);
        return;
    }
    CRequestQueue::Request request;
    while (!Terminated() && state_ == SockConnected && requests_.Pop(request)) {
        if (request.length < 1) {
            Notify(EvError);
            continue;
        }
        if (!SendRequest(request)) return;
        ReadPhase(ReplyWaitMs, request.awaitsStatus ? ReadEnd::Status : ReadEnd::Command);
    }
}

bool TTcpCommsThread::SendRequest(const CRequestQueue::Request& request) {
    const int len = request.length;
    int sent = 0;
    while (sent < len) {
        const ssize_t n =
            send(socket_, request.bytes + sent, static_cast<std::size_t>(len - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<int>(n);
            continue;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if (err == ECONNABORTED || err == ECONNRESET || err == EPIPE || err == ESHUTDOWN) {
            Lose(SockNone);
        } else if (err == ENOTCONN) {
            Lose(SockReady);
        } else {
            Notify(EvError);
        }
        return false;
    }
    lastSent_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    return true;
}

// Whether another request has been handed over. The send event is cleared before the queue
// is looked at, so a request handed over after the look sets it again and is not missed.
bool TTcpCommsThread::NextRequestWaiting() {
    sendEvent_.Reset();
    return requests_.Count() > 0;
}

void TTcpCommsThread::ReadPhase(int limitMs, ReadEnd end) {
    bool gotData = false;
    bool complete = ReadRoutine(gotData);
    while (!complete && !Terminated() && state_ == SockConnected) {
        // A command's answer, if the device gives one at all, is not waited for once the
        // next request is due: it is read with whatever comes next.
        if (end == ReadEnd::Command && NextRequestWaiting()) return;
        const WaitItem stop = WaitItem::Peek(stopEvent_);
        const WaitItem socketReady = WaitItem::Socket(socket_, POLLIN | POLLRDHUP);
        WaitResult wait{};
        switch (end) {
            case ReadEnd::Idle:
                // The idle wait also ends when a request or a reconnect is handed over, so
                // that a poll goes out at once instead of after the rest of the idle wait;
                // the loop consumes them.
                wait = WaitForAny({stop, socketReady, WaitItem::Peek(sendEvent_),
                                   WaitItem::Peek(reconnectEvent_)},
                                  limitMs);
                break;
            case ReadEnd::Status:
                wait = WaitForAny({stop, socketReady}, limitMs);
                break;
            case ReadEnd::Command:
                wait = WaitForAny({stop, socketReady, WaitItem::Peek(sendEvent_)}, limitMs);
                break;
        }
        if (Terminated() || wait.index == 0 || wait.index == WaitFailed) return;
        if (wait.index == WaitTimeout) {
            if (end == ReadEnd::Status) Notify(EvReplyTimeout);
            return;
        }
        if (wait.index >= 2) {
            if (end == ReadEnd::Idle) return;
            continue;  // a command's wait: the look at the queue above decides
        }
        complete = ReadRoutine(gotData);
        // A hang-up with nothing left to read is the peer's closure.
        if (!gotData && state_ == SockConnected && (wait.socketEvents & (POLLHUP | POLLERR))) {
            Lose(SockNone);
        }
    }
}

bool TTcpCommsThread::ReadRoutine(bool& gotData) {
    gotData = false;
    bool result = false;
    const CStatusFramer::FrameSink store = [this](const char* frame, int len) {
        store_.PutStatusMessage(deviceId_, frame, len);
        AnnounceLink();
        Notify(EvReceived);
    };
    while (state_ == SockConnected && !Terminated()) {
        char* area = framer_.FreeArea();
        const ssize_t n =
            recv(socket_, area, static_cast<std::size_t>(framer_.FreeBytes()), MSG_DONTWAIT);
        if (n > 0) {
            gotData = true;
            const auto outcome = framer_.Commit(static_cast<int>(n), store);
            if (outcome != CStatusFramer::Outcome::NoFrameEnd) {
                result = outcome == CStatusFramer::Outcome::EndedAtFrame;
            }
            continue;
        }
        if (n == 0) {
            gotData = true;
            Lose(SockNone);
            break;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if (!HandleReadError(err)) break;
        gotData = true;
        break;
    }
    return result;
}

// Returns whether the error changed anything (false: nothing was waiting or it is ignored).
bool TTcpCommsThread::HandleReadError(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) return false;
    if (err == ECONNABORTED || err == ECONNRESET || err == ESHUTDOWN || err == EPIPE) {
        Lose(SockNone);
    } else if (err == ENOTCONN) {
        Lose(SockReady);
    } else if (IsReportedReadError(err)) {
        Notify(EvError);
        framer_.Reset();
    } else {
        return false;
    }
    return true;
}
