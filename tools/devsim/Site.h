#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A simulated installation of Velkan amplifiers: each device listens on its own address,
// and one worker thread serves them all. Tests and the avlo-devsim program drive it.
namespace devsim {

enum class ChannelFault { Channel, Temperature, Fan, Current };  // D, T, F, C

struct DeviceConfig {
    std::string address;              // IPv4 text, e.g. "127.0.1.2"
    std::string modelText = "03";     // "00".."03"; anything else simulates an unknown model
    std::string serial = "00000001";  // sent as is
    std::uint16_t tcpPort = 60002;
    std::uint16_t udpPort = 60003;
    bool active = true;
    std::uint8_t channelMask = 0x7F;    // initial on-flags; bits of absent channels are dropped
    std::int32_t operatingMinutes = 0;  // grows by one per real minute after AddDevice()
    bool acceptTcp = true;              // false: answers discovery only, no TCP listener at all
    bool answerDiscovery = true;
    // Like the amplifiers, answer a mode or channel request with the status it leads to, so
    // that the monitor's wait for a reply ends at once and the next request can follow.
    bool confirmCommands = true;
    int replyDelayMs = 0;  // every answer, confirmations included, leaves this much later
    std::string fieldOrder = "MRPVADTFCH";  // letters from that set; any order, omissions allowed
};

struct SiteOptions {
    std::string discoveryListen = "0.0.0.0";  // empty: no discovery listener
    std::uint16_t udpPort = 60003;
};

struct DeviceSnapshot {
    bool active = false;
    std::uint8_t channelMask = 0;
    int connections = 0;  // accepted so far
    bool connected = false;
    int statusQueries = 0;
    int modeRequests = 0;
    int maskRequests = 0;
    int discoveryRequests = 0;          // discovery requests this device answered
    std::vector<std::string> requests;  // every request line received, in order, with its "\n"
};

enum class EventKind { ConnectionOpened, ConnectionClosed, Request, DiscoveryAnswered };

struct DeviceEvent {
    int device = -1;
    EventKind kind = EventKind::Request;
    std::string text;  // the peer's address, or the request line
};

class Site {
public:
    explicit Site(SiteOptions options = {});
    ~Site();
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // Sockets are created here, on the calling thread, so that they live in the caller's
    // network namespace. Returns the device index, or -1 with LastError() set.
    int AddDevice(const DeviceConfig& config);
    std::string LastError() const;
    bool DiscoveryListening() const;
    int DeviceCount() const;

    // Start and Stop must not race each other; everything else may be called from any thread.
    bool Start();
    void Stop();

    // Called on the worker thread without the site's lock held, so it may call back into
    // the site.
    void SetEventHandler(std::function<void(const DeviceEvent&)> handler);

    void SetChannelFault(int dev, int channel /*1..7*/, ChannelFault kind, bool present);
    void SetSupplyFault(int dev, int rail /*0..3: -5V, +12V, +72VA, +72VB*/, bool present);
    void ClearFaults(int dev);
    void SetActive(int dev, bool active);
    void SetChannelMask(int dev, std::uint8_t mask);
    void SetOperatingMinutes(int dev, std::int32_t minutes);
    void SetFieldOrder(int dev, std::string order);  // ignored when it holds a foreign letter

    // These touch sockets; they have taken effect when they return.
    void DropConnection(int dev);
    void ResetConnection(int dev);
    void SetRefuseConnections(int dev, bool refuse);  // reopening may fail: see LastError()
    void SendRaw(int dev, std::string bytes);         // no-op without a connection

    void SetSilent(int dev, bool silent);
    // Every new connection is accepted and closed at once (counted in connections).
    void SetHangUp(int dev, bool on);
    void SetReplyDelay(int dev, int ms);
    // Whether mode and channel requests are answered with the status (DeviceConfig).
    void SetConfirmCommands(int dev, bool on);
    void SetSplitReply(int dev, int pieces, int gapMs);
    void SetDoubleReply(int dev, bool on);
    // The next status query is answered by these writes, gapMs apart, instead of the status.
    void ScriptNextReply(int dev, std::vector<std::string> writes, int gapMs);
    // The next status reply is preceded by these bytes, in the same write.
    void PrefixNextReply(int dev, std::string bytes);

    std::string StatusMessage(int dev) const;
    DeviceSnapshot Snapshot(int dev) const;
    // pred runs without the site's lock held.
    bool WaitFor(int dev, const std::function<bool(const DeviceSnapshot&)>& pred,
                 std::chrono::milliseconds limit) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace devsim
