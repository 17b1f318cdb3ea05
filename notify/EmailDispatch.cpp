// The one path by which e-mail is sent: settings check, delivery by one client of the
// program's own per e-mail on the client's thread, and the outcome, when it arrives, in the
// log and, for the test e-mail, in a dialog.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>

#include "app/MainUnit.h"
#include "comms/Mymessages.h"
#include "platform/MessageBox.h"

namespace {

std::uint32_t emailJobCounter = 0;

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

std::uint32_t TMainForm::NextEmailJobId() { return ++emailJobCounter; }

EmailFields TMainForm::CurrentEmailFields() const {
    EmailFields fields;
    fields.server = Text(ServerIpAddrEdit);
    fields.port = Text(ServerPortEdit);
    fields.userName = Text(UserNameEdit);
    fields.sender = Text(UserEmailEdit);
    fields.recipient[0] = Text(Email1Edit);
    fields.recipient[1] = Text(Email2Edit);
    fields.recipient[2] = Text(Email3Edit);
    return fields;
}

std::string TMainForm::EmailSummary(const std::string& subject, const std::string& body) const {
    return "\r\n\nTo : " + Text(Email1Edit) + "," + Text(Email2Edit) + "," + Text(Email3Edit) +
           "\r\nSubject : " + subject + "\r\nMessage : " + body;
}

bool TMainForm::SendEmail(const std::string& subject, const std::string& body, bool test,
                          std::uint16_t deviceId, std::uint32_t faults) {
    auto job = std::make_unique<EmailJob>();
    job->Summary = EmailSummary(subject, body);
    job->Test = test;
    job->DeviceId = deviceId;
    job->Faults = faults;

    // The settings need no network: a fault in them is reported at once.
    bool usable = CheckEmailSettings(test);
    if (usable) {
        job->JobId = NextEmailJobId();
        job->Client = std::make_unique<CSmtpClient>(WM_SMTPRESULT, this, job->JobId);
        job->Fields = CurrentEmailFields();
        const EmailFields& f = job->Fields;
        CSmtpClient& client = *job->Client;
        usable = client.SetServer(f.server, f.port) == SmtpOk &&
                 client.SetSender(f.sender, f.userName) == SmtpOk &&
                 client.SetRecipients(f.recipient[0], f.recipient[1], f.recipient[2]) == SmtpOk;
    }
    if (!usable) {
        if (Options.Log) {
            eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE,
                                  "E-mail function is not configured properly.\r\n" + job->Summary);
        }
        return false;
    }
    job->Client->SetSubject(subject);
    job->Client->SetBody(body + EmailDisclaimer);
    // The dialogue runs on the client's own thread: a server that never answers must not
    // stop the window, the polls or the shutdown.
    const SmtpResult started = job->Client->Send(false);
    if (started != SmtpOk) {
        job->Client.reset();
        ReportEmailOutcome(*job, started);
        return false;
    }
    if (test) SendTestEmailBtn->setEnabled(false);  // until its outcome is shown
    emailJobs_.push_back(std::move(job));
    return true;
}

void TMainForm::LogEmailOutcome(const std::string& summary, int outcome) {
    LogEmailOutcome(summary, outcome, CurrentEmailFields());
}

void TMainForm::LogEmailOutcome(const std::string& summary, int outcome,
                                const EmailFields& fields) {
    if (!Options.Log) return;
    if (outcome == SmtpOk) {
        eventLog_->WriteEvent(EV_EMAIL_SENT, EVENTLOG_SUCCESS, summary);
        return;
    }
    const std::string text = EmailOutcomeLogText(outcome, fields);
    std::string entry = "[" + std::to_string(outcome) + "] ";
    if (!text.empty()) entry += text + summary;
    eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, entry);
}

void TMainForm::ShowEmailOutcome(int outcome) {
    ShowEmailOutcome(outcome, CurrentEmailFields());
}

void TMainForm::ShowEmailOutcome(int outcome, const EmailFields& fields) {
    const std::string text = EmailOutcomeDialogText(outcome, fields);
    if (text.empty()) return;
    ShowMessage(this, outcome == SmtpOk ? MsgKind::Information : MsgKind::Error,
                QStringLiteral("AVLO Monitor"), QString::fromStdString(text));
}

void TMainForm::SendTestEmailBtn1Click() {
    // The button is disabled while a test e-mail is under way, but the e-mail page's radio
    // buttons enable it again.
    if (TestEmailInFlight()) return;
    SendEmail("AVLO TEST EMAIL", "This is a test e-mail.\r\n", true);
}

TMainForm::EmailJob* TMainForm::FindEmailJob(std::uint32_t jobId) {
    for (const auto& job : emailJobs_) {
        if (job->JobId == jobId) return job.get();
    }
    return nullptr;
}

std::unique_ptr<TMainForm::EmailJob> TMainForm::TakeEmailJob(std::uint32_t jobId) {
    const auto it = std::find_if(emailJobs_.begin(), emailJobs_.end(),
                                 [jobId](const auto& job) { return job->JobId == jobId; });
    if (it == emailJobs_.end()) return nullptr;
    std::unique_ptr<EmailJob> job = std::move(*it);
    emailJobs_.erase(it);
    return job;
}

void TMainForm::RemoveEmailJob(std::uint32_t jobId, bool keepClient) {
    std::unique_ptr<EmailJob> job = TakeEmailJob(jobId);
    if (!job || !job->Client) return;
    // A client that reported its own end has stopped already; releasing it only joins.
    if (!keepClient) job->Client->Stop();
    job->Client.reset();
}

void TMainForm::ClearEmailJobs() {
    for (auto& job : emailJobs_) {
        if (job->Client) job->Client->Stop();
    }
    emailJobs_.clear();
}

std::uint32_t TMainForm::AlertsInFlight(std::uint16_t deviceId) const {
    std::uint32_t faults = 0;
    for (const auto& job : emailJobs_) {
        if (!job->Test && job->DeviceId == deviceId) faults |= job->Faults;
    }
    return faults;
}

bool TMainForm::TestEmailInFlight() const {
    return std::any_of(emailJobs_.begin(), emailJobs_.end(),
                       [](const auto& job) { return job->Test; });
}

void TMainForm::OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam) {
    // Out of the list first: from here on the job no longer counts as in flight.
    std::unique_ptr<EmailJob> job = TakeEmailJob(lParam);
    if (!job) return;
    // Each job's client delivers once, so its first report is the outcome: a delivery's own,
    // or SmtpStopped from a client that ended without one. Its thread only waits after that,
    // so it stops at once; its closing SmtpStopped then finds no job.
    if (job->Client) {
        job->Client->Stop();
        job->Client.reset();
    }
    ReportEmailOutcome(*job, wParam);
}

void TMainForm::ReportEmailOutcome(const EmailJob& job, std::uint32_t wParam) {
    const int outcome = static_cast<int>(wParam & 0xFF);
    // The server took the message (its reply to the final "."): the mail reached the
    // recipients it accepted, even when the outcome names a refused one or a failed QUIT.
    const bool delivered = outcome == SmtpOk || (wParam & SmtpAcceptedFlag) != 0;
    LogEmailOutcome(job.Summary, outcome, job.Fields);
    if (job.Test) {
        SendTestEmailBtn->setEnabled(EnableEmailRadioBtn->isChecked());
        ShowEmailOutcome(outcome, job.Fields);
    } else if (job.DeviceId != 0) {
        AlertResult(job.DeviceId, job.Faults, delivered);
    }
}
