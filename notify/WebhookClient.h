#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notify/WebhookBody.h"

class IMessageTarget;
typedef void CURLM;

// How long one try may take, and the waits before the retries (one retry per wait).
struct WebhookTiming {
    std::chrono::milliseconds TryLimit{10000};
    std::vector<std::chrono::milliseconds> RetryWaits{std::chrono::seconds(2),
                                                      std::chrono::seconds(6)};
};

// The outcome a delivery posts in wParam.
enum WebhookOutcome : std::uint32_t { WebhookSent = 0, WebhookFailed = 1, WebhookStopped = 2 };

// One webhook delivery on a thread of its own, through libcurl: a POST of the payload to an
// http or https URL, the certificate and host name checked (against the system's store, or
// the CA file when one is given), no redirect followed, any answer but 2xx a failure. A failed
// try is retried after each of the timing's waits. The outcome arrives as message `messageId`
// (WebhookOutcome in wParam, the job id in lParam), once. Stop() ends a try or a wait at
// once, from any thread.
class CWebhookClient {
public:
    struct Request {
        std::string Url;
        WebhookPayload Payload;
        std::string CaFile;  // PEM; empty: the system's store
    };

    CWebhookClient(Request request, WebhookTiming timing, std::uint32_t messageId,
                   IMessageTarget* target, std::uint32_t jobId);
    ~CWebhookClient();  // stops the delivery and waits for its thread
    CWebhookClient(const CWebhookClient&) = delete;
    CWebhookClient& operator=(const CWebhookClient&) = delete;

    void Stop();
    // The last try's failure: the HTTP status or libcurl's error text. Empty after success.
    std::string FailureReason() const;
    int Tries() const { return tries_.load(std::memory_order_acquire); }
    const std::string& Url() const { return request_.Url; }

private:
    void Execute();
    // One POST; true when the target answered 2xx, else the reason is set.
    bool TryOnce();
    // Waits, or less when stopped; false when stopped.
    bool Pause(std::chrono::milliseconds wait);
    bool Stopped() const { return stopped_.load(std::memory_order_acquire); }
    void SetFailureReason(std::string reason);

    const Request request_;
    const WebhookTiming timing_;
    const std::uint32_t messageId_;
    IMessageTarget* const target_;
    const std::uint32_t jobId_;

    CURLM* multi_ = nullptr;  // woken by Stop() in every wait
    std::atomic<bool> stopped_{false};
    std::atomic<int> tries_{0};
    mutable std::mutex reasonMutex_;
    std::string failureReason_;
    std::thread thread_;
};
