#pragma once

#include <QDialog>

#include "monitoring/Settings.h"

class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

// The test mode settings: whether test mode runs, and how many minutes the devices spend in
// Active and in Standby mode. Shown only in a process started with the "test" switch.
class TTestSettingsDlg : public QDialog {
public:
    // settings may be null: the dialog then shows the empty form and stores nothing.
    TTestSettingsDlg(QWidget* owner, TestModeSettings_Type* settings);

    void EnableTestRadioBtnClick();
    void DisableTestRadioBtnClick();
    void OKBtnClick();

    // ---- controls (named as on the form) ----
    QLabel* ChooseLabel = nullptr;
    QRadioButton* EnableTestRadioBtn = nullptr;
    QRadioButton* DisableTestRadioBtn = nullptr;
    QLabel* DescriptionLabel = nullptr;
    QLabel* ActiveDurationLabel = nullptr;
    QSpinBox* ActiveDurationEdit = nullptr;
    QLabel* ActiveMinuteLabel = nullptr;
    QLabel* StandbyDurationLabel = nullptr;
    QSpinBox* StandbyDurationEdit = nullptr;
    QLabel* StandbyMinuteLabel = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void BuildControls();
    void SetDurationControlsEnabled(bool enabled);

    TestModeSettings_Type* settings_;
};
