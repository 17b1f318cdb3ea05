// The e-mail page: which controls are enabled, and the port field's filter.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/MainUnit.h"

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
    bool isInteger = true;
    if (!text.isEmpty()) text.toInt(&isInteger);
    if (!isInteger) {
        const QSignalBlocker quiet(ServerPortEdit);
        ServerPortEdit->setText(QString::fromStdString(LastServerPortText));
    }
    LastServerPortText = ServerPortEdit->text().toStdString();
}

void TMainForm::SendTestEmailBtn1Click() {
    // The test e-mail goes out through the e-mail dispatch, which is not part of the program
    // yet.
}

void TMainForm::OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam) {
    // E-mail jobs do not exist yet, so no result can name one.
    (void)wParam;
    (void)lParam;
}
