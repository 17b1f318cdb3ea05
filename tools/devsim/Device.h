#pragma once

#include <netinet/in.h>

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/devsim/DeviceModel.h"
#include "tools/devsim/LineFramer.h"
#include "tools/devsim/Net.h"
#include "tools/devsim/Site.h"

namespace devsim {

// How the device misbehaves when it answers a status query.
struct ReplyStyle {
    bool silent = false;
    bool hangUp = false;          // close every new connection as soon as it is accepted
    bool confirmCommands = true;  // answer a mode or channel request with the status
    int delayMs = 0;
    int pieces = 1;
    int gapMs = 0;
    bool doubled = false;
    std::optional<std::vector<std::string>> script;  // replaces the next answer
    int scriptGapMs = 0;
    std::string prefix;  // goes in front of the next answer
};

// One simulated amplifier's sockets and connection. Touched only with the site's lock held;
// the methods that take a descriptor ignore it when it is no longer the current one, since
// a poll result may be stale by the time it is handled.
class Device {
public:
    using Clock = DeviceModel::Clock;
    using Events = std::vector<DeviceEvent>;

    Device(int index, const DeviceConfig& config, in_addr address, Fd listener, Fd udp,
           Clock::time_point now);

    DeviceModel model;
    ReplyStyle style;

    int ListenerFd() const { return listener_.Get(); }
    int ConnectionFd() const { return conn_.Get(); }
    int UdpFd() const { return udp_.Get(); }
    bool WantsWrite() const { return outSent_ < out_.size(); }
    std::optional<Clock::time_point> NextDue() const;
    bool AcceptsTcp() const { return acceptTcp_; }
    const in_addr& Address() const { return address_; }
    std::uint16_t TcpPort() const { return tcpPort_; }

    void OnListenerReady(int fd, Events& events);
    void OnConnectionReady(int fd, short revents, Clock::time_point now, Events& events);
    void OnUdpReady(int fd, Events& events);
    void AnswerDiscovery(const sockaddr_in& to, Events& events);
    void FlushDue(Clock::time_point now, Events& events);

    void CloseConnection(bool reset, Events& events);
    void CloseListener() { listener_.Reset(); }
    void InstallListener(Fd listener);
    void SendRaw(std::string_view bytes, Events& events);
    DeviceSnapshot Snapshot() const;

private:
    struct TimedWrite {
        Clock::time_point due;
        std::string bytes;
    };

    void Read(Clock::time_point now, Events& events);
    void HandleLine(std::string_view line, Clock::time_point now, Events& events);
    void Record(std::string_view line);
    void ScheduleReply(Clock::time_point now);
    void ScheduleConfirmation(Clock::time_point now);
    void Schedule(Clock::time_point start, const std::vector<std::string>& writes, int gapMs);
    std::vector<std::string> Pieces(const std::string& reply) const;
    void Write(Events& events);

    int index_;
    in_addr address_;
    std::uint16_t tcpPort_;
    bool acceptTcp_;
    Fd listener_;
    Fd conn_;
    Fd udp_;
    LineFramer framer_{1024};
    // Handed to the connection; the kernel has taken the first outSent_ bytes. An offset
    // rather than erasing from the front keeps a large backlog from costing quadratic time.
    std::string out_;
    std::size_t outSent_ = 0;
    std::deque<TimedWrite> timed_;  // ordered by due time
    DeviceSnapshot counters_;
};

}  // namespace devsim
