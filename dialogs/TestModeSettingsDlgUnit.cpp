#include "dialogs/TestModeSettingsDlgUnit.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr int MinMinutes = 1;
constexpr int MaxMinutes = 60;
constexpr int EmptyFormMinutes = 2;

template <class W>
W* Named(QWidget* parent, const char* name) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* NamedLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = Named<QLabel>(parent, name);
    label->setText(text);
    return label;
}

QSpinBox* MinutesEdit(QWidget* parent, const char* name) {
    auto* edit = Named<QSpinBox>(parent, name);
    edit->setRange(MinMinutes, MaxMinutes);
    edit->setValue(EmptyFormMinutes);
    return edit;
}

// An edit that takes input shows the window colour, one that does not the button face, in
// every state of the window, so the look says at once whether the field is in use.
void ShowEnabled(QSpinBox* edit, bool enabled) {
    const QPalette application = QApplication::palette();
    const QColor colour =
        application.color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button);
    QPalette palette = edit->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, colour);
    }
    edit->setPalette(palette);
    edit->setEnabled(enabled);
}

}  // namespace

TTestSettingsDlg::TTestSettingsDlg(QWidget* owner, TestModeSettings_Type* settings)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settings_(settings) {
    setObjectName(QStringLiteral("TestSettingsDlg"));
    setWindowTitle(QStringLiteral("Test Mode Settings"));
    BuildControls();
    SetDurationControlsEnabled(false);
    if (settings_ != nullptr) {
        if (settings_->On) EnableTestRadioBtn->setChecked(true);
        SetDurationControlsEnabled(settings_->On);
        ActiveDurationEdit->setValue(settings_->Active);
        StandbyDurationEdit->setValue(settings_->Standby);
    }
}

void TTestSettingsDlg::BuildControls() {
    ChooseLabel =
        NamedLabel(this, "ChooseLabel",
                   QStringLiteral("Choose whether the test mode is to be enabled or not."));
    EnableTestRadioBtn = Named<QRadioButton>(this, "EnableTestRadioBtn");
    EnableTestRadioBtn->setText(QStringLiteral("&Enable "));
    DisableTestRadioBtn = Named<QRadioButton>(this, "DisableTestRadioBtn");
    DisableTestRadioBtn->setText(QStringLiteral("&Disable"));
    DisableTestRadioBtn->setChecked(true);
    DescriptionLabel =
        NamedLabel(this, "DescriptionLabel",
                   QStringLiteral("The test will continually switch all registered Velkan devices\n"
                                  "between Standby and Active modes.\n"
                                  "Specify the duration for the Standby and Active modes."));
    ActiveDurationLabel =
        NamedLabel(this, "ActiveDurationLabel", QStringLiteral("Duration of Active mode is"));
    ActiveDurationEdit = MinutesEdit(this, "ActiveDurationEdit");
    ActiveMinuteLabel = NamedLabel(this, "ActiveMinuteLabel", QStringLiteral("minutes"));
    StandbyDurationLabel =
        NamedLabel(this, "StandbyDurationLabel", QStringLiteral("Duration of Standby mode is"));
    StandbyDurationEdit = MinutesEdit(this, "StandbyDurationEdit");
    StandbyMinuteLabel = NamedLabel(this, "StandbyMinuteLabel", QStringLiteral("minutes"));
    OKBtn = Named<QPushButton>(this, "OKBtn");
    OKBtn->setText(QStringLiteral("OK"));
    OKBtn->setDefault(true);
    CancelBtn = Named<QPushButton>(this, "CancelBtn");
    CancelBtn->setText(QStringLiteral("Cancel"));

    auto* radios = new QHBoxLayout;
    radios->addWidget(EnableTestRadioBtn);
    radios->addWidget(DisableTestRadioBtn);
    radios->addStretch();
    auto* durations = new QGridLayout;
    durations->addWidget(ActiveDurationLabel, 0, 0);
    durations->addWidget(ActiveDurationEdit, 0, 1);
    durations->addWidget(ActiveMinuteLabel, 0, 2);
    durations->addWidget(StandbyDurationLabel, 1, 0);
    durations->addWidget(StandbyDurationEdit, 1, 1);
    durations->addWidget(StandbyMinuteLabel, 1, 2);
    durations->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* all = new QVBoxLayout(this);
    all->addWidget(ChooseLabel);
    all->addLayout(radios);
    all->addSpacing(8);
    all->addWidget(DescriptionLabel);
    all->addLayout(durations);
    all->addSpacing(8);
    all->addLayout(buttons);
    // A single border: the size is the form's, not the user's.
    all->setSizeConstraint(QLayout::SetFixedSize);

    connect(EnableTestRadioBtn, &QRadioButton::clicked, this,
            &TTestSettingsDlg::EnableTestRadioBtnClick);
    connect(DisableTestRadioBtn, &QRadioButton::clicked, this,
            &TTestSettingsDlg::DisableTestRadioBtnClick);
    connect(OKBtn, &QPushButton::clicked, this, &TTestSettingsDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TTestSettingsDlg::SetDurationControlsEnabled(bool enabled) {
    for (QLabel* label :
         {ActiveDurationLabel, ActiveMinuteLabel, StandbyDurationLabel, StandbyMinuteLabel}) {
        label->setEnabled(enabled);
    }
    ShowEnabled(ActiveDurationEdit, enabled);
    ShowEnabled(StandbyDurationEdit, enabled);
}

void TTestSettingsDlg::EnableTestRadioBtnClick() {
    SetDurationControlsEnabled(EnableTestRadioBtn->isChecked());
}

void TTestSettingsDlg::DisableTestRadioBtnClick() {
    SetDurationControlsEnabled(!DisableTestRadioBtn->isChecked());
}

void TTestSettingsDlg::OKBtnClick() {
    if (settings_ != nullptr) {
        settings_->On = EnableTestRadioBtn->isChecked();
        settings_->Active = ActiveDurationEdit->value();
        settings_->Standby = StandbyDurationEdit->value();
    }
    accept();
}

void TTestSettingsDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // Centred on the main window, also when that is hidden in the notification area.
    if (const QWidget* owner = parentWidget()) {
        const QPoint centre = owner->mapToGlobal(owner->rect().center());
        move(centre - rect().center());
    }
}
