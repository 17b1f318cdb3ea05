#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "comms/ReconnectWait.h"
#include "comms/RequestQueue.h"
#include "comms/StatusFramer.h"
#include "platform/Event.h"
#include "protocol/Mca.h"

class CData;
class IMessageTarget;
struct addrinfo;

// The waits of a connection thread after a lost link (CReconnectWait): the owner makes the
// longest its poll interval, so a peer that keeps dropping the link is tried about once per
// poll.
struct TcpRetryLimits {
    int longestWaitMs = 60000;
    int livedMs = 30000;
};

// One worker per monitored device: owns the TCP connection, connects and reconnects on its
// own, sends the requests the main thread hands over, in the order they came, frames the
// replies into the receive store and reports every change of state with WM_TCPTHREAD.
class TTcpCommsThread {
public:
    using Clock = std::chrono::steady_clock;

    enum LinkState : std::uint8_t { SockNone = 0, SockReady = 1, SockConnected = 2 };

    static constexpr int ConnectWaitMs = 2000;
    static constexpr int RetryWaitMs = 2000;
    static constexpr int ReplyWaitMs = 2000;
    static constexpr int IdleReadWaitMs = 800;

    // The thread starts running at once. window may be null: no notifications then.
    TTcpCommsThread(CData& store, std::string port, std::string host, IMessageTarget* window,
                    std::uint16_t deviceId, TcpRetryLimits limits = {});
    ~TTcpCommsThread();  // stops the thread and waits for its end
    TTcpCommsThread(const TTcpCommsThread&) = delete;
    TTcpCommsThread& operator=(const TTcpCommsThread&) = delete;

    // Queues a request (at most 64 bytes) behind those still waiting; false, with nothing
    // queued, when CRequestQueue::Capacity are waiting already. awaitsStatus: a status query,
    // whose answer is waited for up to ReplyWaitMs and reported missing; otherwise a command,
    // whose answer, if the device gives one, is waited for only until the next request is
    // there. An empty text is reported as EvError when its turn comes.
    bool Send(const char* text, int len, bool awaitsStatus = true);
    // Requests handed over and not yet sent.
    int QueuedRequests() const { return requests_.Count(); }
    // When the last request went out on the wire (the epoch of the clock before the first).
    Clock::time_point LastSent() const {
        return Clock::time_point(Clock::duration(lastSent_.load(std::memory_order_acquire)));
    }
    void Reconnect();
    void Stop();
    // The owner's poll interval changed: the longest wait after lost links follows it.
    void SetLongestWait(int ms) { longestWaitMs_.store(ms, std::memory_order_relaxed); }
    int LongestWaitMs() const { return longestWaitMs_.load(std::memory_order_relaxed); }

    std::uint16_t DeviceId() const { return deviceId_; }
    // True once the thread has released everything and posted (or is posting) EvEnded.
    bool Ended() const { return ended_.load(std::memory_order_acquire); }

private:
    void Run();
    void Notify(std::uint16_t code, std::uint32_t lParam = 0);
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

    void CloseConnection();
    int Attempt();
    int AttemptFailed();
    bool Open(bool report);
    bool Connect(bool report);
    bool ConnectPending(bool report);
    void LinkUp(bool fresh);
    void AnnounceLink();
    void Drain();
    // How a read phase ends besides a complete message, a loss or the stop.
    enum class ReadEnd {
        Idle,     // also when a request or reconnect is handed over; no report
        Status,   // at the time limit, reported as EvReplyTimeout
        Command,  // also when the next request is waiting; no report
    };
    void SendQueued();
    bool SendRequest(const CRequestQueue::Request& request);
    void ReadPhase(int limitMs, ReadEnd end);
    bool NextRequestWaiting();
    bool ReadRoutine(bool& completed);
    bool HandleReadError(int err);
    void Lose(LinkState next);

    CData& store_;
    const std::string port_;
    const std::string host_;
    IMessageTarget* const window_;
    const std::uint16_t deviceId_;

    CRequestQueue requests_;
    std::atomic<Clock::rep> lastSent_{0};
    CEvent sendEvent_;
    CEvent reconnectEvent_;
    CEvent stopEvent_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> ended_{false};
    std::atomic<int> longestWaitMs_;

    // Touched by the worker only.
    int socket_ = -1;
    addrinfo* addresses_ = nullptr;
    LinkState state_ = SockNone;
    CMca codec_;
    CStatusFramer framer_{codec_};
    bool startFailed_ = false;
    // Whether a failed open or connect is reported: only the first of a series of retries.
    bool report_ = true;
    // No attempt before this, whatever wakes the thread, unless a reconnect is asked for.
    Clock::time_point nextAttempt_{};
    CReconnectWait reconnectWait_;
    // A short-lived link of the current series has been reported; later ones go quietly.
    bool seriesReported_ = false;
    // The current link's EvConnected went out without TcpLinkInSeries.
    bool linkAnnounced_ = true;

    std::thread thread_;
};
