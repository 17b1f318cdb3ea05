#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <map>

#include "monitoring/MonitorCore.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The webhook targets: three rows of on, URL and format, and a file of more certificate
// authorities for https targets. Each row's "Send test" sends a test message to the row as it
// stands (saved or not) and shows the outcome in the row when it arrives; the dialog stays
// usable meanwhile. OK refuses a ticked row whose URL or format cannot be used, and says why.
class TWebhooksDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int Rows = WebhookSettings_Type::TargetCount;

    TWebhooksDlg(const WebhookSettings_Type& settings, CMonitorCore& core,
                 QWidget* parent = nullptr);

    // The settings as the dialog holds them.
    WebhookSettings_Type Result() const;

    std::array<QCheckBox*, Rows> OnCheckBox{};
    std::array<QLineEdit*, Rows> UrlEdit{};
    std::array<QComboBox*, Rows> FormatComboBox{};
    std::array<QPushButton*, Rows> SendTestBtn{};
    std::array<QLabel*, Rows> OutcomeLabel{};
    QLineEdit* CaFileEdit = nullptr;
    QPushButton* CaFileBrowseBtn = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    void accept() override;

private:
    void AddRow(QWidget* parent, int row, const WebhookTarget_Type& target);
    WebhookTarget_Type Target(int row) const;
    void SendTestBtnClick(int row);
    void TestFinished(std::uint32_t jobId, bool sent, const QString& reason);
    void CaFileBrowseBtnClick();

    CMonitorCore& core_;
    std::map<std::uint32_t, int> testsInFlight_;  // job id -> row
};
