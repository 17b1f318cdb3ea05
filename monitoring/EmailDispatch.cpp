// The one path by which e-mail is sent: settings check, delivery by one client of the
// program's own per e-mail on the client's thread, and the outcome, when it arrives, in the
// log and, for the test e-mail, in a dialog.
#include <algorithm>

#include "comms/Mymessages.h"
#include "monitoring/MonitorCore.h"

namespace {

std::uint32_t emailJobCounter = 0;

}  // namespace

std::uint32_t CMonitorCore::NextEmailJobId() {
    return ++emailJobCounter;
}

std::string CMonitorCore::EmailSummary(const std::string& subject, const std::string& body) const {
    const EmailSettings_Type& e = EmailSettings;
    return "\r\n\nTo : " + e.recipient[0] + "," + e.recipient[1] + "," + e.recipient[2] +
           "\r\nSubject : " + subject + "\r\nMessage : " + body;
}

bool CMonitorCore::SendEmail(const std::string& subject, const std::string& body, bool test,
                             std::uint16_t deviceId, std::uint32_t faults) {
    auto job = std::make_unique<EmailJob>();
    job->Summary = EmailSummary(subject, body);
    job->Test = test;
    job->DeviceId = deviceId;
    job->Faults = faults;

    // The settings need no network: a fault in them is reported at once.
    const std::optional<EmailSettingsFault> fault = CheckEmailSettings();
    // Only the test e-mail has someone at the page to correct the field.
    if (fault && test) emit EmailSettingsFaultFound(*fault);
    bool usable = !fault;
    if (usable) {
        job->JobId = NextEmailJobId();
        job->Client = std::make_unique<CSmtpClient>(WM_SMTPRESULT, this, job->JobId);
        job->Fields = CurrentEmailFields();
        const EmailFields& f = job->Fields;
        CSmtpClient& client = *job->Client;
        usable = client.SetServer(f.server, f.port) == SmtpOk &&
                 client.SetSender(f.sender, f.userName) == SmtpOk &&
                 client.SetRecipients(f.recipient[0], f.recipient[1], f.recipient[2]) == SmtpOk &&
                 ConfigureSecurity(client);
    }
    if (!usable) {
        // An alert that cannot go out has failed as surely as one the server refused.
        if (!test && deviceId != 0) {
            ++counters_.AlertEmailsFailed;
            emit SiteCountersChanged();
        }
        if (Options.Log) {
            const std::string text =
                "E-mail function is not configured properly.\r\n" + job->Summary;
            if (const Device* device = FindDeviceById(deviceId)) {
                eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, text,
                                      HistoryDevice(*device));
            } else {
                eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, text);
            }
        }
        return false;
    }
    job->Client->SetSubject(subject);
    job->Client->SetBody(body + EmailDisclaimer);
    if (EmailSettings.SignIn && !passwordStore_->Ready()) {
        // Sent as soon as the password store has read the password (or given up on the
        // keyring); meanwhile it counts as on its way, so no second alert is started for it.
        job->AwaitingPassword = true;
        if (test) emit TestEmailBusyChanged(true);
        emailJobs_.push_back(std::move(job));
        passwordStore_->Load();
        return true;
    }
    // The dialogue runs on the client's own thread: a server that never answers must not
    // stop the window, the polls or the shutdown.
    const SmtpResult started = job->Client->Send(false);
    if (started != SmtpOk) {
        job->Client.reset();
        ReportEmailOutcome(*job, started);
        return false;
    }
    if (test) emit TestEmailBusyChanged(true);  // until its outcome is shown
    emailJobs_.push_back(std::move(job));
    return true;
}

bool CMonitorCore::ConfigureSecurity(CSmtpClient& client) const {
    const EmailSettings_Type& e = EmailSettings;
    if (client.SetSecurity(static_cast<SmtpSecurity>(e.Security), e.CaFile) != SmtpOk) return false;
    if (!e.SignIn) return client.SetSignIn({}, {}) == SmtpOk;
    // The dialog proposes the page's user name; a file may leave the sign-in name empty.
    const std::string& user = e.SignInUser.empty() ? e.userName : e.SignInUser;
    return client.SetSignIn(user, passwordStore_->Password()) == SmtpOk;
}

void CMonitorCore::SendAwaitingEmail() {
    std::vector<std::pair<std::uint32_t, SmtpResult>> failed;
    for (const auto& job : emailJobs_) {
        if (!job->AwaitingPassword) continue;
        job->AwaitingPassword = false;
        // Everything else goes out as it was when the e-mail was started; only the password
        // is new.
        const EmailSettings_Type& e = EmailSettings;
        const std::string& user = e.SignInUser.empty() ? e.userName : e.SignInUser;
        SmtpResult started = job->Client->SetSignIn(user, passwordStore_->Password());
        if (started == SmtpOk) started = job->Client->Send(false);
        if (started != SmtpOk) failed.emplace_back(job->JobId, started);
    }
    // Reported once the list is no longer being walked.
    for (const auto& [id, outcome] : failed) {
        std::unique_ptr<EmailJob> job = TakeEmailJob(id);
        if (!job) continue;
        job->Client.reset();
        ReportEmailOutcome(*job, outcome);
    }
}

void CMonitorCore::LogEmailOutcome(const std::string& summary, int outcome) {
    LogEmailOutcome(summary, outcome, CurrentEmailFields());
}

void CMonitorCore::LogEmailOutcome(const std::string& summary, int outcome,
                                   const EmailFields& fields, const Device* device) {
    if (!Options.Log) return;
    const auto write = [&](std::uint32_t id, std::uint16_t type, const std::string& text) {
        if (device) {
            eventLog_->WriteEvent(id, type, text, HistoryDevice(*device));
        } else {
            eventLog_->WriteEvent(id, type, text);
        }
    };
    if (outcome == SmtpOk) {
        write(EV_EMAIL_SENT, EVENTLOG_SUCCESS, summary);
        return;
    }
    const std::string text = EmailOutcomeLogText(outcome, fields);
    std::string entry = "[" + std::to_string(outcome) + "] ";
    if (!text.empty()) entry += text + summary;
    write(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, entry);
}

CMonitorCore::EmailJob* CMonitorCore::FindEmailJob(std::uint32_t jobId) {
    for (const auto& job : emailJobs_) {
        if (job->JobId == jobId) return job.get();
    }
    return nullptr;
}

std::unique_ptr<CMonitorCore::EmailJob> CMonitorCore::TakeEmailJob(std::uint32_t jobId) {
    const auto it = std::find_if(emailJobs_.begin(), emailJobs_.end(),
                                 [jobId](const auto& job) { return job->JobId == jobId; });
    if (it == emailJobs_.end()) return nullptr;
    std::unique_ptr<EmailJob> job = std::move(*it);
    emailJobs_.erase(it);
    return job;
}

void CMonitorCore::RemoveEmailJob(std::uint32_t jobId, bool keepClient) {
    std::unique_ptr<EmailJob> job = TakeEmailJob(jobId);
    if (!job || !job->Client) return;
    // A client that reported its own end has stopped already; releasing it only joins.
    if (!keepClient) job->Client->Stop();
    job->Client.reset();
}

void CMonitorCore::ClearEmailJobs() {
    for (auto& job : emailJobs_) {
        if (job->Client) job->Client->Stop();
    }
    emailJobs_.clear();
}

std::uint32_t CMonitorCore::AlertsInFlight(std::uint16_t deviceId) const {
    std::uint32_t faults = 0;
    for (const auto& job : emailJobs_) {
        if (!job->Test && job->DeviceId == deviceId) faults |= job->Faults;
    }
    return faults;
}

bool CMonitorCore::TestEmailInFlight() const {
    return std::any_of(emailJobs_.begin(), emailJobs_.end(),
                       [](const auto& job) { return job->Test; });
}

void CMonitorCore::OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam) {
    // Out of the list first: from here on the job no longer counts as in flight.
    std::unique_ptr<EmailJob> job = TakeEmailJob(lParam);
    if (!job) return;
    // Each job's client delivers once, so its first report is the outcome: a delivery's own,
    // or SmtpStopped from a client that ended without one. Its thread only waits after that,
    // so it stops at once; its closing SmtpStopped then finds no job.
    if (job->Client) {
        job->Fields.reason = job->Client->FailureReason();
        job->Client->Stop();
        job->Client.reset();
    }
    ReportEmailOutcome(*job, wParam);
}

void CMonitorCore::ReportEmailOutcome(const EmailJob& job, std::uint32_t wParam) {
    const int outcome = static_cast<int>(wParam & 0xFF);
    // The server took the message (its reply to the final "."): the mail reached the
    // recipients it accepted, even when the outcome names a refused one or a failed QUIT.
    const bool delivered = outcome == SmtpOk || (wParam & SmtpAcceptedFlag) != 0;
    LogEmailOutcome(job.Summary, outcome, job.Fields,
                    job.DeviceId != 0 ? FindDeviceById(job.DeviceId) : nullptr);
    if (job.Test) {
        emit TestEmailBusyChanged(false);
        emit EmailOutcomeToShow(outcome, job.Fields);
    } else if (job.DeviceId != 0) {
        AlertResult(job.DeviceId, job.Faults, delivered);
    }
}
