// Alerts and notices to the webhook targets: one delivery per target on its own client's
// thread, a bounded number at once, and each outcome as one event when it arrives.
#include <algorithm>

#include "comms/Mymessages.h"
#include "monitoring/MonitorCore.h"
#include "notify/WebhookUrl.h"

namespace {

std::uint32_t webhookJobCounter = 0;

WebhookContent ContentOf(const AlertNotice& notice) {
    WebhookContent c;
    switch (notice.What) {
        case AlertNotice::Kind::Alert:
            c.What = WebhookContent::Kind::Alert;
            break;
        case AlertNotice::Kind::Notice:
            c.What = WebhookContent::Kind::Notice;
            break;
        case AlertNotice::Kind::Test:
            c.What = WebhookContent::Kind::Test;
            break;
    }
    c.DeviceName = notice.DeviceName;
    c.Address = notice.Address;
    c.Serial = notice.Serial;
    c.Model = notice.Model;
    c.Problems = notice.Problems;
    c.Since = notice.Since;
    c.Subject = notice.Subject;
    c.Text = notice.Text;
    return c;
}

std::unique_ptr<CMonitorCore::WebhookJob> MakeJob(int target, const WebhookTarget_Type& settings,
                                                  const std::string& caFile,
                                                  const AlertNotice& notice) {
    auto job = std::make_unique<CMonitorCore::WebhookJob>();
    job->JobId = ++webhookJobCounter;
    job->Target = target;
    job->Test = notice.What == AlertNotice::Kind::Test;
    job->Subject = notice.Subject;
    job->Request.Url = settings.Url;
    job->Request.CaFile = caFile;
    job->Request.Payload = MakeWebhookPayload(
        ContentOf(notice), WebhookFormatNamed(settings.Format).value_or(WebhookFormat::Json));
    return job;
}

AlertNotice TestNotice() {
    AlertNotice notice;
    notice.What = AlertNotice::Kind::Test;
    notice.Subject = "AVLO Monitor: test message";
    notice.Text = "This is a test message from AVLO Monitor.";
    return notice;
}

}  // namespace

void CMonitorCore::SendWebhooks(const AlertNotice& notice) {
    for (int n = 1; n <= WebhookSettings_Type::TargetCount; ++n) {
        const WebhookTarget_Type& t = WebhookSettings.Targets[static_cast<std::size_t>(n - 1)];
        // A ticked target that cannot be used was reported at the load, or in the dialog.
        if (!t.On || WebhookTargetFault(t)) continue;
        QueueWebhook(MakeJob(n, t, WebhookSettings.CaFile, notice));
    }
}

std::uint32_t CMonitorCore::SendWebhookTest(const WebhookTarget_Type& target,
                                            const std::string& caFile, std::string* fault) {
    if (const std::optional<std::string> why = WebhookTargetFault(target)) {
        if (fault) *fault = *why;
        return 0;
    }
    std::unique_ptr<WebhookJob> job = MakeJob(0, target, caFile, TestNotice());
    const std::uint32_t id = job->JobId;
    QueueWebhook(std::move(job));
    return id;
}

void CMonitorCore::QueueWebhook(std::unique_ptr<WebhookJob> job) {
    if (closing_) return;
    if (webhooksWaiting_.size() >= MaxWebhooksWaiting) {
        LogWebhookOutcome(*job, false, "too many webhook deliveries waiting");
        return;
    }
    webhooksWaiting_.push_back(std::move(job));
    StartWaitingWebhooks();
}

void CMonitorCore::StartWaitingWebhooks() {
    while (!webhooksWaiting_.empty() && webhookJobs_.size() < MaxWebhooksInFlight) {
        std::unique_ptr<WebhookJob> job = std::move(webhooksWaiting_.front());
        webhooksWaiting_.pop_front();
        job->Client = std::make_unique<CWebhookClient>(job->Request, WebhookTimes, WM_WEBHOOKRESULT,
                                                       this, job->JobId);
        webhookJobs_.push_back(std::move(job));
    }
}

void CMonitorCore::OnWebhookResult(std::uint32_t wParam, std::uint32_t lParam) {
    const auto it = std::find_if(webhookJobs_.begin(), webhookJobs_.end(),
                                 [lParam](const auto& job) { return job->JobId == lParam; });
    if (it == webhookJobs_.end()) return;
    std::unique_ptr<WebhookJob> job = std::move(*it);
    webhookJobs_.erase(it);
    const bool sent = wParam == WebhookSent;
    const std::string reason = job->Client->FailureReason();
    const int tries = job->Client->Tries();
    job->Client.reset();  // its thread has posted its last word: this only joins
    LogWebhookOutcome(
        *job, sent,
        sent ? std::string()
             : reason + " (" + std::to_string(tries) + (tries == 1 ? " try)" : " tries)"));
    StartWaitingWebhooks();
}

void CMonitorCore::LogWebhookOutcome(const WebhookJob& job, bool sent, const std::string& reason) {
    std::string target = WebhookTargetName(job.Request.Url);
    target = job.Target > 0 ? "target " + std::to_string(job.Target) + " (" + target + ")" : target;
    const std::string what = job.Test ? "Test webhook" : "Webhook";
    if (Options.Log && eventLog_) {
        if (sent) {
            eventLog_->WriteEvent(EV_WEBHOOK_SENT, EVENTLOG_INFORMATION_TYPE,
                                  what + " sent to " + target + ": " + job.Subject);
        } else {
            eventLog_->WriteEvent(
                EV_WEBHOOK_FAILED, EVENTLOG_ERROR_TYPE,
                what + " to " + target + " failed: " + reason + ": " + job.Subject);
        }
    }
    if (job.Test) emit WebhookTestFinished(job.JobId, sent, QString::fromStdString(reason));
}

void CMonitorCore::ClearWebhookJobs() {
    // Every delivery is told to stop before any is waited for, so that they end together.
    for (auto& job : webhookJobs_) job->Client->Stop();
    for (auto& job : webhookJobs_) {
        job->Client.reset();
        LogWebhookOutcome(*job, false, "the monitor stopped before it was delivered");
    }
    webhookJobs_.clear();
    for (auto& job : webhooksWaiting_) {
        LogWebhookOutcome(*job, false, "the monitor stopped before it was delivered");
    }
    webhooksWaiting_.clear();
}
