#pragma once

#include <QDialog>
#include <cstdint>

#include "monitoring/Settings.h"

class QCheckBox;
class QComboBox;
class QPushButton;

// The options dialog: the poll interval, AVLO for newly discovered devices, event logging,
// starting at log-on and desktop notifications. It edits the main window's options record in
// place when OK is pressed; Cancel leaves it as it was.
class TOptionsDlg : public QDialog {
public:
    TOptionsDlg(QWidget* owner, Options_Type* options);

    // The list offers three intervals; any other stored value shows as the middle one.
    static int PollIndex(std::int32_t poll);
    static std::int32_t PollValue(int index);

    void OKBtnClick();

    QComboBox* PollIntervalComboBox = nullptr;
    QCheckBox* EnableAvloForNewCheckBox = nullptr;
    QCheckBox* EnableLogCheckBox = nullptr;
    QCheckBox* AddToStartupCheckBox = nullptr;
    QCheckBox* NotifyCheckBox = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

private:
    Options_Type* options_;
};
