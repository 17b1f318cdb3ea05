#include "dialogs/SelectEventsDlgUnit.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include "dialogs/DialogParts.h"
#include "platform/MessageBox.h"

TSelectEventsDlg::TSelectEventsDlg(QWidget* owner, bool alerts, NotifiableEvents_Type* events)
    : QDialog(owner), events_(events) {
    setObjectName(QStringLiteral("SelectEventsDlg"));
    setWindowTitle(QStringLiteral("Select Events"));
    SetFixedDialogFrame(*this);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(Heading(this, QStringLiteral("Notifiable Events")));
    // The form's text has its own line breaks (and a blank at the end of the second line).
    layout->addWidget(new QLabel(
        MessageBoxSeam::ForDisplay(QStringLiteral(
            "Select the events that cause an e-mail notification\r\nto be sent when a problem or "
            "warning occurs with \r\nthe Velkan device.")),
        this));

    ChannelEventCheckBox =
        NamedCheckBox(this, "ChannelEventCheckBox", "&Failure of an output channel");
    PowerSupplyEventCheckBox =
        NamedCheckBox(this, "PowerSupplyEventCheckBox", "Failure of the power &supply");
    FanEventCheckBox = NamedCheckBox(this, "FanEventCheckBox", "Problem with a cooling f&an");
    TemperatureEventCheckBox =
        NamedCheckBox(this, "TemperatureEventCheckBox", "Internal &temperature error");
    OverCurrentEventCheckBox =
        NamedCheckBox(this, "OverCurrentEventCheckBox", "O&ver-current condition");
    // The look of the empty form; the record overwrites it below.
    ChannelEventCheckBox->setChecked(true);
    PowerSupplyEventCheckBox->setChecked(true);
    FanEventCheckBox->setChecked(true);
    for (QCheckBox* box : {ChannelEventCheckBox, PowerSupplyEventCheckBox, FanEventCheckBox,
                           TemperatureEventCheckBox, OverCurrentEventCheckBox}) {
        layout->addWidget(box);
    }
    BuildAlertRules(layout);

    MaintenanceEventCheckBox =
        NamedCheckBox(this, "MaintenanceEventCheckBox", "Send &maintenance reminder every:");
    ReminderComboBox = new QComboBox(this);
    ReminderComboBox->setObjectName(QStringLiteral("ReminderComboBox"));
    ReminderComboBox->addItems({QStringLiteral("6 Months"), QStringLiteral("12 Months")});
    ReminderComboBox->setCurrentIndex(0);
    auto* reminderRow = new QHBoxLayout;
    reminderRow->addWidget(MaintenanceEventCheckBox);
    reminderRow->addWidget(ReminderComboBox);
    reminderRow->addStretch();
    layout->addLayout(reminderRow);
    MaintenanceEventCheckBoxClick();

    layout->addSpacing(8);
    OkBtn = NamedButton(this, "OkBtn", "&OK");
    CancelBtn = NamedButton(this, "CancelBtn", "&Cancel");
    OkBtn->setDefault(true);
    layout->addLayout(ButtonRow({OkBtn, CancelBtn}));

    connect(OkBtn, &QPushButton::clicked, this, &TSelectEventsDlg::OkBtn1Click);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(MaintenanceEventCheckBox, &QCheckBox::clicked, this,
            &TSelectEventsDlg::MaintenanceEventCheckBoxClick);

    if (events_) {
        ChannelEventCheckBox->setChecked(events_->ChanErr);
        PowerSupplyEventCheckBox->setChecked(events_->PSupplyErr);
        FanEventCheckBox->setChecked(events_->FanErr);
        TemperatureEventCheckBox->setChecked(events_->TempErr);
        OverCurrentEventCheckBox->setChecked(events_->OvcErr);
        ShowAlertRules(*events_);
    } else {
        ShowAlertRules(NotifiableEvents_Type{});
    }
    for (QCheckBox* box : {PowerSupplyEventCheckBox, FanEventCheckBox, TemperatureEventCheckBox,
                           OverCurrentEventCheckBox, MaintenanceEventCheckBox}) {
        box->setEnabled(alerts);
    }
}

// The rules beside the fault classes. Not tied to the "alerts" switch: a device that stops
// answering and the notice that a problem cleared concern every device.
void TSelectEventsDlg::BuildAlertRules(QVBoxLayout* layout) {
    const auto spinBox = [this](const char* name, int maximum) {
        auto* box = new QSpinBox(this);
        box->setObjectName(QString::fromLatin1(name));
        box->setRange(1, maximum);
        return box;
    };
    layout->addSpacing(6);
    LostEventCheckBox = NamedCheckBox(this, "LostEventCheckBox", "Device not &reachable for");
    LostMinutesSpinBox = spinBox("LostMinutesSpinBox", 1440);
    auto* lostRow = new QHBoxLayout;
    lostRow->addWidget(LostEventCheckBox);
    lostRow->addWidget(LostMinutesSpinBox);
    lostRow->addWidget(new QLabel(QStringLiteral("minutes"), this));
    lostRow->addStretch();
    layout->addLayout(lostRow);
    connect(LostEventCheckBox, &QCheckBox::toggled, LostMinutesSpinBox, &QWidget::setEnabled);

    RecoveryCheckBox =
        NamedCheckBox(this, "RecoveryCheckBox", "Send a &notice when an alerted problem clears");
    layout->addWidget(RecoveryCheckBox);

    ConfirmLabel = new QLabel(QStringLiteral("A&lert only after a fault is seen in"), this);
    ConfirmLabel->setObjectName(QStringLiteral("ConfirmLabel"));
    ConfirmSpinBox = spinBox("ConfirmSpinBox", 10);
    ConfirmLabel->setBuddy(ConfirmSpinBox);
    // In line with the texts of the check boxes above it.
    auto* confirmRow = new QHBoxLayout;
    confirmRow->addSpacing(style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                           style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
    confirmRow->addWidget(ConfirmLabel);
    confirmRow->addWidget(ConfirmSpinBox);
    confirmRow->addWidget(new QLabel(QStringLiteral("statuses in a row"), this));
    confirmRow->addStretch();
    layout->addLayout(confirmRow);
}

// A value outside a box's range (a hand-edited settings file) shows as the nearest one, and
// OK stores what is shown.
void TSelectEventsDlg::ShowAlertRules(const NotifiableEvents_Type& events) {
    LostEventCheckBox->setChecked(events.LostErr);
    LostMinutesSpinBox->setValue(events.LostMinutes);
    LostMinutesSpinBox->setEnabled(events.LostErr);
    RecoveryCheckBox->setChecked(events.Recovery);
    ConfirmSpinBox->setValue(events.Confirm);
}

// The reminder is not sent by anything: the controls only change their own look.
void TSelectEventsDlg::MaintenanceEventCheckBoxClick() {
    const bool on = MaintenanceEventCheckBox->isChecked();
    ReminderComboBox->setEnabled(on);
    QPalette palette = ReminderComboBox->palette();
    const QPalette standard = QApplication::palette(ReminderComboBox);
    const QColor background = on ? standard.color(QPalette::Active, QPalette::Base)
                                 : standard.color(QPalette::Active, QPalette::Button);
    const QColor text =
        on ? standard.color(QPalette::Active, QPalette::Text) : QColor(128, 128, 128);
    for (const QPalette::ColorGroup group :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Button, background);
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::ButtonText, text);
    }
    ReminderComboBox->setPalette(palette);
}

void TSelectEventsDlg::OkBtn1Click() {
    const bool any = ChannelEventCheckBox->isChecked() || PowerSupplyEventCheckBox->isChecked() ||
                     FanEventCheckBox->isChecked() || TemperatureEventCheckBox->isChecked() ||
                     OverCurrentEventCheckBox->isChecked();
    if (!any && ShowMessage(this, MsgKind::Confirmation, QStringLiteral("AVLO Monitor"),
                            QStringLiteral(
                                "You have de-selected all notifiable events.\r\nThis means that "
                                "the Velkan device will not send any\r\nnotifications, regadless "
                                "of any type of failure of the device.\r\nIs this what you "
                                "want?")) != MsgResultYes) {
        return;
    }
    if (events_) {
        events_->ChanErr = ChannelEventCheckBox->isChecked();
        events_->PSupplyErr = PowerSupplyEventCheckBox->isChecked();
        events_->FanErr = FanEventCheckBox->isChecked();
        events_->TempErr = TemperatureEventCheckBox->isChecked();
        events_->OvcErr = OverCurrentEventCheckBox->isChecked();
        events_->LostErr = LostEventCheckBox->isChecked();
        events_->LostMinutes = LostMinutesSpinBox->value();
        events_->Recovery = RecoveryCheckBox->isChecked();
        events_->Confirm = ConfirmSpinBox->value();
    }
    accept();
}
