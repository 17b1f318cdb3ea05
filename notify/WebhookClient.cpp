// A webhook delivery through libcurl's multi interface: its poll is the one wait of the
// thread, for the transfer and for the pauses between tries alike, and curl_multi_wakeup
// ends it at once when the delivery is stopped.
#include "notify/WebhookClient.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "platform/MessageTarget.h"
#include "platform/ThreadName.h"

namespace {

std::once_flag curlStarted;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What the target answers is not read.
std::size_t Discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

std::string StatusReason(long status) {
    std::string reason = "HTTP status " + std::to_string(status);
    if (status >= 300 && status < 400) reason += " (a redirect, which is not followed)";
    return reason;
}

}  // namespace

CWebhookClient::CWebhookClient(Request request, WebhookTiming timing, std::uint32_t messageId,
                               IMessageTarget* target, std::uint32_t jobId)
    : request_(std::move(request)),
      timing_(std::move(timing)),
      messageId_(messageId),
      target_(target),
      jobId_(jobId) {
    // libcurl's global set-up is made once, before any delivery thread uses it.
    std::call_once(curlStarted, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { Execute(); });
}

CWebhookClient::~CWebhookClient() {
    Stop();
    if (thread_.joinable()) thread_.join();
    if (multi_) curl_multi_cleanup(multi_);
}

void CWebhookClient::Stop() {
    stopped_.store(true, std::memory_order_release);
    if (multi_) curl_multi_wakeup(multi_);
}

std::string CWebhookClient::FailureReason() const {
    const std::lock_guard lock(reasonMutex_);
    return failureReason_;
}

void CWebhookClient::SetFailureReason(std::string reason) {
    const std::lock_guard lock(reasonMutex_);
    failureReason_ = std::move(reason);
}

void CWebhookClient::Execute() {
    SetCurrentThreadName("avlo-webhook");
    WebhookOutcome outcome = WebhookFailed;
    if (!multi_) {
        SetFailureReason("libcurl could not be started");
    } else {
        for (std::size_t retry = 0;; ++retry) {
            if (Stopped()) break;
            tries_.fetch_add(1, std::memory_order_acq_rel);
            if (TryOnce()) {
                outcome = WebhookSent;
                SetFailureReason({});
                break;
            }
            if (retry >= timing_.RetryWaits.size() || !Pause(timing_.RetryWaits[retry])) break;
        }
    }
    if (outcome != WebhookSent && Stopped()) outcome = WebhookStopped;
    if (target_ && messageId_ != 0) target_->Post(messageId_, outcome, jobId_);
}

bool CWebhookClient::Pause(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!Stopped()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(left.count()), nullptr);
    }
    return false;
}

bool CWebhookClient::TryOnce() {
    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        SetFailureReason("libcurl could not make a transfer");
        return false;
    }
    curl_slist* list = nullptr;
    for (const std::string& line : request_.Payload.Headers) {
        if (curl_slist* longer = curl_slist_append(list, line.c_str())) list = longer;
    }
    const std::unique_ptr<curl_slist, ListDeleter> headers(list);
    char error[CURL_ERROR_SIZE] = {};
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, request_.Url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timing_.TryLimit.count()));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request_.CaFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, request_.CaFile.c_str());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request_.Payload.Body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request_.Payload.Body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_USERAGENT, "AVLO-Monitor");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Discard);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);

    curl_multi_add_handle(multi_, e);
    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done && !Stopped()) {
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
            if (m->msg == CURLMSG_DONE) {
                result = m->data.result;
                done = true;
            }
        }
        if (!done) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi_, e);

    if (!done) {
        SetFailureReason(Stopped() ? "stopped" : "libcurl failed");
        return false;
    }
    if (result != CURLE_OK) {
        SetFailureReason(error[0] != '\0' ? std::string(error) : curl_easy_strerror(result));
        return false;
    }
    if (status < 200 || status > 299) {
        SetFailureReason(StatusReason(status));
        return false;
    }
    return true;
}
