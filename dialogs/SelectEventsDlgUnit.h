#pragma once

#include <QDialog>

#include "monitoring/Settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QVBoxLayout;

// The notifiable events dialog: which classes of device problems send an alert e-mail. It
// writes the main window's record when OK is pressed. Without the "alerts" switch only the
// channel class can be changed.
class TSelectEventsDlg : public QDialog {
public:
    TSelectEventsDlg(QWidget* owner, bool alerts, NotifiableEvents_Type* events);

    void OkBtn1Click();
    void MaintenanceEventCheckBoxClick();

    QCheckBox* ChannelEventCheckBox = nullptr;
    QCheckBox* PowerSupplyEventCheckBox = nullptr;
    QCheckBox* FanEventCheckBox = nullptr;
    QCheckBox* TemperatureEventCheckBox = nullptr;
    QCheckBox* OverCurrentEventCheckBox = nullptr;
    // When and how the alerts go out: a device that stops answering, the notice when a problem
    // clears, and how many statuses in a row must show a fault before it is alerted.
    QCheckBox* LostEventCheckBox = nullptr;
    QSpinBox* LostMinutesSpinBox = nullptr;
    QCheckBox* RecoveryCheckBox = nullptr;
    QLabel* ConfirmLabel = nullptr;
    QSpinBox* ConfirmSpinBox = nullptr;
    QCheckBox* MaintenanceEventCheckBox = nullptr;
    QComboBox* ReminderComboBox = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

private:
    void BuildAlertRules(QVBoxLayout* layout);
    void ShowAlertRules(const NotifiableEvents_Type& events);

    NotifiableEvents_Type* events_;
};
