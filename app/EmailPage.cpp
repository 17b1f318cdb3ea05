// The e-mail page: which controls are enabled, the port field's filter, the fields as the
// core's e-mail settings, and the boxes of the settings check and of the test e-mail.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

#include "app/MainUnit.h"
#include "dialogs/ServerSecurityDlgUnit.h"
#include "dialogs/WebhooksDlgUnit.h"
#include "platform/MessageBox.h"

namespace {

// A field's length limit is for typing: a longer text from the file is kept whole (setText
// would cut it, and the next save would write the cut text).
void SetText(QLineEdit* edit, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (value.size() > edit->maxLength()) edit->setMaxLength(static_cast<int>(value.size()));
    edit->setText(value);
}

}  // namespace

void TMainForm::SetEmailControlsEnabled(bool enabled) {
    QLineEdit* const edits[] = {ServerIpAddrEdit, ServerPortEdit, UserNameEdit, UserEmailEdit,
                                Email1Edit,       Email2Edit,     Email3Edit};
    QLabel* const labels[] = {ServerIpAddrLabel, ServerPortLabel, UserNameLabel, UserEmailLabel,
                              Email1Label,       Email2Label,     Email3Label};
    for (QLineEdit* edit : edits) {
        edit->setEnabled(enabled);
        // A disabled field shows the light 3-D colour rather than the window colour.
        QPalette palette = edit->palette();
        const QPalette standard = QApplication::palette();
        palette.setColor(QPalette::Base,
                         standard.color(enabled ? QPalette::Base : QPalette::Midlight));
        edit->setPalette(palette);
    }
    for (QLabel* label : labels) label->setEnabled(enabled);
    AdvancedEmailBtn->setEnabled(enabled);
    ServerSecurityBtn->setEnabled(enabled);
    SendTestEmailBtn->setEnabled(enabled);
    SelectEventsBtn->setEnabled(enabled);
}

void TMainForm::EnableEmailRadioBtnEnter() {
    SetEmailControlsEnabled(true);
}

void TMainForm::DisableEmailRadioBtnEnter() {
    SetEmailControlsEnabled(false);
}

void TMainForm::ServerPortEditChange() {
    const QString text = ServerPortEdit->text();
    if (!CMonitorCore::PortTextAccepted(text.toStdString())) {
        const QSignalBlocker quiet(ServerPortEdit);
        ServerPortEdit->setText(QString::fromStdString(LastServerPortText));
    }
    LastServerPortText = ServerPortEdit->text().toStdString();
    core_->EmailSettings.port = LastServerPortText;
}

// The page shows the settings the core loaded.
void TMainForm::FillEmailPage() {
    const EmailSettings_Type settings = core_->EmailSettings;
    EnableEmailRadioBtn->setChecked(settings.Enabled);
    DisableEmailRadioBtn->setChecked(!settings.Enabled);
    SetText(ServerIpAddrEdit, settings.server);
    SetText(ServerPortEdit, settings.port);
    SetText(UserNameEdit, settings.userName);
    SetText(UserEmailEdit, settings.sender);
    SetText(Email1Edit, settings.recipient[0]);
    SetText(Email2Edit, settings.recipient[1]);
    SetText(Email3Edit, settings.recipient[2]);
    SetEmailControlsEnabled(EnableEmailRadioBtn->isChecked());
    LastServerPortText = ServerPortEdit->text().toStdString();
}

QLineEdit* TMainForm::EmailFieldEdit(EmailField field) const {
    switch (field) {
        case EmailField::ServerIp:
            return ServerIpAddrEdit;
        case EmailField::ServerPort:
            return ServerPortEdit;
        case EmailField::UserName:
            return UserNameEdit;
        case EmailField::UserEmail:
            return UserEmailEdit;
        case EmailField::Email1:
            return Email1Edit;
        case EmailField::Email2:
            return Email2Edit;
        case EmailField::Email3:
            return Email3Edit;
    }
    return ServerIpAddrEdit;
}

void TMainForm::ShowEmailSettingsFault(const EmailSettingsFault& fault) {
    EmailFieldEdit(fault.Field)->setFocus(Qt::OtherFocusReason);
    ShowMessage(this, MsgKind::Error, QStringLiteral("AVLO Monitor"),
                QString::fromUtf8(fault.Message));
}

bool TMainForm::CheckEmailSettings(bool interactive) {
    const std::optional<EmailSettingsFault> fault = core_->CheckEmailSettings();
    if (fault && interactive) ShowEmailSettingsFault(*fault);
    return !fault;
}

void TMainForm::ShowEmailOutcome(int outcome) {
    ShowEmailOutcome(outcome, core_->CurrentEmailFields());
}

void TMainForm::ShowEmailOutcome(int outcome, const EmailFields& fields) {
    const std::string text = EmailOutcomeDialogText(outcome, fields);
    if (text.empty()) return;
    ShowMessage(this, outcome == SmtpOk ? MsgKind::Information : MsgKind::Error,
                QStringLiteral("AVLO Monitor"), QString::fromStdString(text));
}

void TMainForm::ServerSecurityBtnClick() {
    EmailSettings_Type& e = core_->EmailSettings;
    TServerSecurityDlg::Context context;
    context.Security = e.Security;
    context.SignIn = e.SignIn;
    context.SignInUser = e.SignInUser;
    context.CaFile = e.CaFile;
    context.Port = ServerPortEdit->text().toStdString();
    TServerSecurityDlg dialog(context, e.userName, core_->PasswordStore(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    const TServerSecurityDlg::Context result = dialog.Result();
    e.Security = result.Security;
    e.SignIn = result.SignIn;
    e.SignInUser = result.SignInUser;
    e.CaFile = result.CaFile;
    // Through the field, so that its filter and the core's port follow as when typed.
    ServerPortEdit->setText(QString::fromStdString(result.Port));
    if (dialog.PasswordChanged()) {
        std::string password = dialog.NewPassword();
        core_->PasswordStore().Save(password);
        WipeString(password);
    }
}

void TMainForm::WebhooksBtnClick() {
    TWebhooksDlg dialog(core_->WebhookSettings, *core_, this);
    if (dialog.exec() != QDialog::Accepted) return;
    core_->WebhookSettings = dialog.Result();
}

void TMainForm::SendTestEmailBtn1Click() {
    // The button is disabled while a test e-mail is under way, but the e-mail page's radio
    // buttons enable it again.
    if (core_->TestEmailInFlight()) return;
    core_->SendEmail("AVLO TEST EMAIL", "This is a test e-mail.\r\n", true);
}
