#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "comms/LocalNetworks.h"
#include "platform/Event.h"
#include "protocol/Mca.h"

class CData;
class IMessageTarget;

// The one discovery worker: broadcasts the discovery request when asked and queues the
// devices' replies in the receive store, announcing each with WM_UDPTHREAD. Anybody on the
// network can send a datagram that looks like a reply, so a reply is taken only while one of
// our own requests is out (ReplyWindowMs after it left) and only from a sender on the local
// network of the interface it came in on.
class TUdpCommsThread {
public:
    static constexpr std::uint16_t DefaultPort = 60003;
    static constexpr const char* DefaultDestination = "255.255.255.255";
    static constexpr int ReceiveBytes = 64;
    static constexpr int RequestCopyBytes = 32;
    static constexpr int ReadWaitMs = 800;
    // Devices answer a request within milliseconds; the network search waits as long.
    static constexpr int ReplyWindowMs = 2000;

    // The thread starts running at once. The destination is the limited broadcast address
    // unless a test or a simulated site keeps the request on a loopback address.
    TUdpCommsThread(CData& store, std::uint16_t port, IMessageTarget* window,
                    std::string destination = DefaultDestination);
    ~TUdpCommsThread();
    TUdpCommsThread(const TUdpCommsThread&) = delete;
    TUdpCommsThread& operator=(const TUdpCommsThread&) = delete;

    void SendDiscovery(const char* text, int len);
    void Stop();

private:
    bool OpenSocket();
    void Run();
    void Notify(std::uint16_t code, const std::uint8_t* addr = nullptr, std::uint8_t model = 0);
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    void ReceiveOne();
    bool Expected(const sockaddr_in& from, unsigned int interfaceIndex) const;
    void SendRequest();
    void CloseSocket();

    CData& store_;
    const std::uint16_t port_;
    IMessageTarget* const window_;
    const std::string destination_;

    CEvent sendEvent_;
    CEvent stopEvent_;
    std::atomic<bool> terminated_{false};

    int socket_ = -1;
    CMca codec_;
    bool startFailed_ = false;
    CLocalNetworks networks_;
    std::chrono::steady_clock::time_point replyWindowEnd_{};

    std::thread thread_;
};
