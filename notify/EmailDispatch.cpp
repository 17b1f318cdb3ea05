// The one path by which e-mail is sent: settings check, delivery through the program's own
// SMTP client, and the outcome in the log and, for the test e-mail, in a dialog.
#include <QApplication>
#include <QLineEdit>

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

bool TMainForm::SendEmail(const std::string& subject, const std::string& body, bool test) {
    const std::string summary = EmailSummary(subject, body);
    if (test) QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto finish = [&](bool sent) {
        if (test) QApplication::restoreOverrideCursor();
        return sent;
    };

    bool usable = CheckEmailSettings(test);
    if (usable && !smtpClient_) {
        smtpClient_ = std::make_unique<CSmtpClient>(WM_SMTPRESULT, this, NextEmailJobId());
    }
    if (usable) {
        const EmailFields f = CurrentEmailFields();
        usable = smtpClient_->SetServer(f.server, f.port) == SmtpOk &&
                 smtpClient_->SetSender(f.sender, f.userName) == SmtpOk &&
                 smtpClient_->SetRecipients(f.recipient[0], f.recipient[1], f.recipient[2]) == SmtpOk;
    }
    if (!usable) {
        if (Options.Log) {
            eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE,
                                  "E-mail function is not configured properly.\r\n" + summary);
        }
        return finish(false);
    }
    smtpClient_->SetSubject(subject);
    smtpClient_->SetBody(body + EmailDisclaimer);
    const SmtpResult outcome = smtpClient_->Send(true);
    if (outcome == SmtpOk) {
        if (Options.Log) eventLog_->WriteEvent(EV_EMAIL_SENT, EVENTLOG_SUCCESS, summary);
    } else {
        LogEmailOutcome(summary, outcome);
    }
    if (test) ShowEmailOutcome(outcome);
    return finish(outcome == SmtpOk);
}

void TMainForm::LogEmailOutcome(const std::string& summary, int outcome) {
    if (!Options.Log) return;
    if (outcome == SmtpOk) {
        eventLog_->WriteEvent(EV_EMAIL_SENT, EVENTLOG_SUCCESS, summary);
        return;
    }
    const std::string text = EmailOutcomeLogText(outcome, CurrentEmailFields());
    std::string entry = "[" + std::to_string(outcome) + "] ";
    if (!text.empty()) entry += text + summary;
    eventLog_->WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, entry);
}

void TMainForm::ShowEmailOutcome(int outcome) {
    const std::string text = EmailOutcomeDialogText(outcome, CurrentEmailFields());
    if (text.empty()) return;
    ShowMessage(this, outcome == SmtpOk ? MsgKind::Information : MsgKind::Error,
                QStringLiteral("AVLO Monitor"), QString::fromStdString(text));
}

void TMainForm::SendTestEmailBtn1Click() {
    SendEmail("AVLO TEST EMAIL", "This is a test e-mail.\r\n", true);
}

TMainForm::EmailJob* TMainForm::FindEmailJob(std::uint32_t jobId) {
    for (const auto& job : emailJobs_) {
        if (job->JobId == jobId) return job.get();
    }
    return nullptr;
}

void TMainForm::RemoveEmailJob(std::uint32_t jobId, bool keepClient) {
    const auto it = std::find_if(emailJobs_.begin(), emailJobs_.end(),
                                 [jobId](const auto& job) { return job->JobId == jobId; });
    if (it == emailJobs_.end()) return;
    if ((*it)->Client && !keepClient) {
        (*it)->Client->Stop();
        (*it)->Client.reset();
    }
    // A client that reported its own end has stopped already; releasing it only joins.
    emailJobs_.erase(it);
}

void TMainForm::ClearEmailJobs() {
    for (auto& job : emailJobs_) {
        if (job->Client) job->Client->Stop();
    }
    emailJobs_.clear();
}

void TMainForm::OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam) {
    EmailJob* job = FindEmailJob(lParam);
    if (job == nullptr) return;
    const int outcome = static_cast<int>(wParam & 0xFF);
    if (outcome == SmtpStopped) {
        RemoveEmailJob(lParam, true);
    } else {
        LogEmailOutcome(job->Summary, outcome);
    }
}
