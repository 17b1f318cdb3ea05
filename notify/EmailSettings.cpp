// The e-mail page: which controls are enabled, and the port field's filter.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <optional>

#include "app/MainUnit.h"
#include "notify/SmtpProtocol.h"
#include "platform/MessageBox.h"

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
        palette.setColor(QPalette::Base, standard.color(enabled ? QPalette::Base : QPalette::Midlight));
        edit->setPalette(palette);
    }
    for (QLabel* label : labels) label->setEnabled(enabled);
    AdvancedEmailBtn->setEnabled(enabled);
    SendTestEmailBtn->setEnabled(enabled);
    SelectEventsBtn->setEnabled(enabled);
}

void TMainForm::EnableEmailRadioBtnEnter() { SetEmailControlsEnabled(true); }

void TMainForm::DisableEmailRadioBtnEnter() { SetEmailControlsEnabled(false); }

void TMainForm::ServerPortEditChange() {
    const QString text = ServerPortEdit->text();
    const bool isInteger = text.isEmpty() || ReadSmtpPortText(text.toStdString()).has_value();
    if (!isInteger) {
        const QSignalBlocker quiet(ServerPortEdit);
        ServerPortEdit->setText(QString::fromStdString(LastServerPortText));
    }
    LastServerPortText = ServerPortEdit->text().toStdString();
}


namespace {

struct SettingsFault {
    QLineEdit* field;
    const char* message;
};

const char* const RecipientWithoutAt =
    "A valid e-mail address must include the '@' character.\r\n"
    "Enter the e-mail address of the recipient, then try again.\r\n";

}  // namespace

// The tests run in a fixed order and stop at the first fault; interactively the focus goes to
// the faulty field before the message is shown.
bool TMainForm::CheckEmailSettings(bool interactive) {
    const QString port = ServerPortEdit->text();
    // Read as the SMTP client reads it, so that a port this check lets through is one the
    // client takes too (below 1 aside, which the client refuses and the dispatch reports).
    const std::optional<int> portValue = ReadSmtpPortText(port.toStdString());
    const auto lacksAt = [](const QLineEdit* edit) { return !edit->text().contains(QLatin1Char('@')); };
    const auto filledWithoutAt = [&](const QLineEdit* edit) {
        return !edit->text().isEmpty() && lacksAt(edit);
    };

    std::optional<SettingsFault> fault;
    if (ServerIpAddrEdit->text().isEmpty()) {
        fault = SettingsFault{ServerIpAddrEdit,
                              "You have not entered the IP address of your Internet Service Provider.\r\n"
                              "Enter the IP address, then try again."};
    } else if (port.isEmpty()) {
        fault = SettingsFault{ServerPortEdit,
                              "The port number of the SMTP server has not been specified.\r\n"
                              "Enter the port number, then try again.\r\n"
                              "Note that default port number for the SMTP server is 25."};
    } else if (!portValue) {
        fault = SettingsFault{ServerPortEdit,
                              "The port number of the SMTP server must be an integer between 1 and 65535.\r\n"
                              "Enter a valid port number, then try again.\r\n"
                              "Note that default port number for the SMTP server is 25."};
    } else if (*portValue > 65535) {
        fault = SettingsFault{ServerPortEdit,
                              "The port number of the SMTP server must not exceed 65535.\r\n"
                              "Enter a valid port number, then try again.\r\n"
                              "Note that default port number for the SMTP server is 25."};
    } else if (UserNameEdit->text().isEmpty()) {
        fault = SettingsFault{UserNameEdit,
                              "You left Your Username blank. Enter your username, then try again.\r\n"
                              "Note that the username should be that used to log into your Internet "
                              "Service Provider."};
    } else if (UserEmailEdit->text().isEmpty()) {
        fault = SettingsFault{UserEmailEdit,
                              "You left Your E-mail Address blank. Enter your e-mail address, then try "
                              "again.\r\n"};
    } else if (lacksAt(UserEmailEdit)) {
        fault = SettingsFault{UserEmailEdit,
                              "A valid e-mail address must include the '@' character.\r\n"
                              "Enter your e-mail address, then try again.\r\n"};
    } else if (Email1Edit->text().isEmpty() && Email2Edit->text().isEmpty() &&
               Email3Edit->text().isEmpty()) {
        fault = SettingsFault{Email1Edit,
                              "You did not specify any recipients of this e-mail.\r\n"
                              " Enter at least one e-mail address, then try again."};
    } else if (filledWithoutAt(Email1Edit)) {
        fault = SettingsFault{Email1Edit, RecipientWithoutAt};
    } else if (filledWithoutAt(Email2Edit)) {
        fault = SettingsFault{Email2Edit, RecipientWithoutAt};
    } else if (filledWithoutAt(Email3Edit)) {
        fault = SettingsFault{Email3Edit, RecipientWithoutAt};
    }
    if (!fault) return true;
    if (interactive) {
        fault->field->setFocus(Qt::OtherFocusReason);
        ShowMessage(this, MsgKind::Error, QStringLiteral("AVLO Monitor"), QString::fromUtf8(fault->message));
    }
    return false;
}
