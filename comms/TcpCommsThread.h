#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "comms/StatusFramer.h"
#include "platform/Event.h"
#include "protocol/Mca.h"

class CData;
class IMessageTarget;
struct addrinfo;

// One worker per monitored device: owns the TCP connection, connects and reconnects on its
// own, sends the requests the main thread hands over, frames the replies into the receive
// store and reports every change of state with WM_TCPTHREAD.
class TTcpCommsThread {
public:
    enum LinkState : std::uint8_t { SockNone = 0, SockReady = 1, SockConnected = 2 };

    static constexpr int ConnectWaitMs = 2000;
    static constexpr int RetryWaitMs = 2000;
    static constexpr int ReplyWaitMs = 2000;
    static constexpr int IdleReadWaitMs = 800;

    // The thread starts running at once. window may be null: no notifications then.
    TTcpCommsThread(CData& store, std::string port, std::string host, IMessageTarget* window,
                    std::uint16_t deviceId);
    ~TTcpCommsThread();  // stops the thread and waits for its end
    TTcpCommsThread(const TTcpCommsThread&) = delete;
    TTcpCommsThread& operator=(const TTcpCommsThread&) = delete;

    void Send(const char* text, int len);
    void Reconnect();
    void Stop();

    std::uint16_t DeviceId() const { return deviceId_; }
    // True once the thread has released everything and posted (or is posting) EvEnded.
    bool Ended() const { return ended_.load(std::memory_order_acquire); }

private:
    void Run();
    void Notify(std::uint16_t code);
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

    void CloseConnection();
    bool Open(bool report);
    bool Connect(bool report);
    bool ConnectPending(bool report);
    void Drain();
    bool SendRequest();
    void ReadPhase(int limitMs, bool reportTimeout);
    bool ReadRoutine(bool& completed);
    bool HandleReadError(int err);
    void Lose(LinkState next);

    CData& store_;
    const std::string port_;
    const std::string host_;
    IMessageTarget* const window_;
    const std::uint16_t deviceId_;

    CEvent sendEvent_;
    CEvent reconnectEvent_;
    CEvent stopEvent_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> ended_{false};

    // Touched by the worker only.
    int socket_ = -1;
    addrinfo* addresses_ = nullptr;
    LinkState state_ = SockNone;
    CMca codec_;
    CStatusFramer framer_{codec_};
    bool startFailed_ = false;

    std::thread thread_;
};
