#pragma once

#include <QDialog>
#include <cstdint>

#include "monitoring/Settings.h"

class CUserStore;
class QCheckBox;
class QComboBox;
class QPushButton;
class TAccountsPage;
class TWebAccessPage;

// The options dialog: the poll interval, AVLO for newly discovered devices, event logging,
// starting at log-on and desktop notifications, and beside them the web access with its
// accounts. It edits the main window's options and web records in place when OK is pressed;
// Cancel leaves them as they were. Without a web record or an accounts store (null) their
// groups are not shown.
class TOptionsDlg : public QDialog {
public:
    TOptionsDlg(QWidget* owner, Options_Type* options, WebSettings_Type* web = nullptr,
                CUserStore* accounts = nullptr);

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
    TWebAccessPage* WebAccess = nullptr;
    TAccountsPage* Accounts = nullptr;

private:
    QLayout* BuildMonitoringColumn();

    Options_Type* options_;
    WebSettings_Type* web_;
};
