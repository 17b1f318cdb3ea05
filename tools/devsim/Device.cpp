#include "tools/devsim/Device.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace devsim {

namespace {

// Enough to hold everything a monitor sends in a long session without growing forever.
constexpr std::size_t MaxRecordedRequests = 100000;
// Reads per wake-up, so that one chatty peer cannot starve the other devices.
constexpr int MaxReadsPerWake = 16;

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

Device::Device(int index, const DeviceConfig& config, in_addr address, Fd listener, Fd udp,
               Clock::time_point now)
    : model(config, now),
      index_(index),
      address_(address),
      tcpPort_(config.tcpPort),
      acceptTcp_(config.acceptTcp),
      listener_(std::move(listener)),
      udp_(std::move(udp)) {
    style.confirmCommands = config.confirmCommands;
    style.delayMs = config.replyDelayMs;
}

std::optional<Device::Clock::time_point> Device::NextDue() const {
    if (timed_.empty()) return std::nullopt;
    return timed_.front().due;
}

void Device::OnListenerReady(int fd, Events& events) {
    if (fd != listener_.Get()) return;
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        Fd accepted(::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.Valid()) return;
        // Replies are small and split replies must leave as separate segments.
        const int on = 1;
        ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++counters_.connections;
        if (style.hangUp) {
            // Anything at the device's address that takes a connection and drops it at once;
            // the standing connection, if any, is left alone.
            events.push_back({index_, EventKind::ConnectionOpened, AddressText(peer)});
            events.push_back({index_, EventKind::ConnectionClosed, "hung up"});
            continue;
        }
        // The amplifier serves one monitor at a time: the newest connection wins.
        CloseConnection(false, events);
        conn_ = std::move(accepted);
        events.push_back({index_, EventKind::ConnectionOpened, AddressText(peer)});
    }
}

void Device::OnConnectionReady(int fd, short revents, Clock::time_point now, Events& events) {
    if (fd != conn_.Get()) return;
    if (revents & (POLLIN | POLLHUP | POLLERR)) Read(now, events);
    if (conn_.Valid() && (revents & POLLOUT)) Write(events);
}

void Device::Read(Clock::time_point now, Events& events) {
    char buffer[4096];
    for (int i = 0; i < MaxReadsPerWake && conn_.Valid(); ++i) {
        const ssize_t n = ::recv(conn_.Get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            framer_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                         [&](std::string_view line) { HandleLine(line, now, events); });
            continue;
        }
        if (n < 0 && WouldBlock()) return;
        if (n < 0 && errno == EINTR) continue;
        CloseConnection(false, events);
    }
}

void Device::HandleLine(std::string_view line, Clock::time_point now, Events& events) {
    Record(line);
    events.push_back({index_, EventKind::Request, std::string(line)});
    switch (model.Apply(line)) {
        case RequestKind::StatusQuery:
            ++counters_.statusQueries;
            ScheduleReply(now);
            break;
        case RequestKind::Mode:
            ++counters_.modeRequests;
            ScheduleConfirmation(now);
            break;
        case RequestKind::Mask:
            ++counters_.maskRequests;
            ScheduleConfirmation(now);
            break;
        case RequestKind::Unknown:
            break;
    }
}

void Device::Record(std::string_view line) {
    auto& requests = counters_.requests;
    if (requests.size() >= MaxRecordedRequests) {
        requests.erase(requests.begin(), requests.begin() + MaxRecordedRequests / 2);
    }
    requests.emplace_back(line);
}

void Device::ScheduleReply(Clock::time_point now) {
    if (style.silent) return;
    Clock::time_point start = now + std::chrono::milliseconds(std::max(0, style.delayMs));
    // Queued behind a slower answer, a reply still keeps its own delay and gaps after it.
    if (!timed_.empty()) start = std::max(start, timed_.back().due);
    if (style.script) {
        std::vector<std::string> writes = std::move(*style.script);
        style.script.reset();
        if (!writes.empty()) writes.front().insert(0, style.prefix);
        style.prefix.clear();
        Schedule(start, writes, style.scriptGapMs);
        return;
    }
    std::string reply = model.StatusMessage(now);
    if (style.doubled) reply += reply;
    reply.insert(0, style.prefix);
    style.prefix.clear();
    Schedule(start, Pieces(reply), style.gapMs);
}

// A confirmation is a plain status in the device's reply style; a scripted or prefixed
// answer stays reserved for the next status query.
void Device::ScheduleConfirmation(Clock::time_point now) {
    if (!style.confirmCommands || style.silent) return;
    Clock::time_point start = now + std::chrono::milliseconds(std::max(0, style.delayMs));
    if (!timed_.empty()) start = std::max(start, timed_.back().due);
    Schedule(start, Pieces(model.StatusMessage(now)), style.gapMs);
}

void Device::Schedule(Clock::time_point start, const std::vector<std::string>& writes, int gapMs) {
    const auto gap = std::chrono::milliseconds(std::max(0, gapMs));
    for (std::size_t i = 0; i < writes.size(); ++i) {
        timed_.push_back({start + gap * static_cast<int>(i), writes[i]});
    }
}

std::vector<std::string> Device::Pieces(const std::string& reply) const {
    const std::size_t count =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(1, style.pieces)), 1,
                                std::max<std::size_t>(1, reply.size()));
    std::vector<std::string> pieces;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = (reply.size() - offset) / (count - i);
        pieces.push_back(reply.substr(offset, length));
        offset += length;
    }
    return pieces;
}

void Device::FlushDue(Clock::time_point now, Events& events) {
    // Each piece goes out in its own send() so that a split reply stays split.
    while (conn_.Valid() && !timed_.empty() && timed_.front().due <= now) {
        out_ += timed_.front().bytes;
        timed_.pop_front();
        Write(events);
    }
}

void Device::SendRaw(std::string_view bytes, Events& events) {
    if (!conn_.Valid()) return;
    out_ += bytes;
    Write(events);
}

void Device::Write(Events& events) {
    while (conn_.Valid() && outSent_ < out_.size()) {
        const ssize_t n =
            ::send(conn_.Get(), out_.data() + outSent_, out_.size() - outSent_, MSG_NOSIGNAL);
        if (n > 0) {
            outSent_ += static_cast<std::size_t>(n);
            if (outSent_ == out_.size()) {
                out_.clear();
                outSent_ = 0;
            }
            continue;
        }
        if (n < 0 && WouldBlock()) return;
        if (n < 0 && errno == EINTR) continue;
        CloseConnection(false, events);
    }
}

void Device::CloseConnection(bool reset, Events& events) {
    if (!conn_.Valid()) return;
    if (reset) {
        CloseWithReset(conn_);
    } else {
        conn_.Reset();
    }
    out_.clear();
    outSent_ = 0;
    timed_.clear();
    framer_.Clear();
    events.push_back({index_, EventKind::ConnectionClosed, reset ? "reset" : "closed"});
}

void Device::InstallListener(Fd listener) {
    if (!listener_.Valid()) listener_ = std::move(listener);
}

void Device::OnUdpReady(int fd, Events& events) {
    if (fd != udp_.Get()) return;
    char buffer[512];
    for (int i = 0; i < MaxReadsPerWake; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        // A monitor may also ask one device directly, by its own address.
        if (std::string_view(buffer, static_cast<std::size_t>(n)) == "VELKAN\n") {
            AnswerDiscovery(from, events);
        }
    }
}

void Device::AnswerDiscovery(const sockaddr_in& to, Events& events) {
    if (!udp_.Valid()) return;
    const std::string reply = model.DiscoveryReply();
    ::sendto(udp_.Get(), reply.data(), reply.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ++counters_.discoveryRequests;
    events.push_back({index_, EventKind::DiscoveryAnswered, AddressText(to)});
}

DeviceSnapshot Device::Snapshot() const {
    DeviceSnapshot snapshot = counters_;
    snapshot.active = model.Active();
    snapshot.channelMask = model.ChannelMask();
    snapshot.connected = conn_.Valid();
    return snapshot;
}

}  // namespace devsim
