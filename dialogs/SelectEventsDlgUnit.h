#pragma once

#include <QDialog>

#include "monitoring/Settings.h"

class QCheckBox;
class QComboBox;
class QPushButton;

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
    QCheckBox* MaintenanceEventCheckBox = nullptr;
    QComboBox* ReminderComboBox = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

private:
    NotifiableEvents_Type* events_;
};
