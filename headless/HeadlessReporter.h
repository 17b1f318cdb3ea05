#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <vector>

class CMonitorCore;

// The headless monitor's view: the device list's changes as lines on standard output
// ("row N: [x] name | address | status | condition", "registered: N", "row N: removed"),
// each row printed only when its texts changed, and the core's boxes on standard error.
// Events reach standard error through the process's event sink, not through here.
class CHeadlessReporter : public QObject {
public:
    explicit CHeadlessReporter(CMonitorCore& core, QObject* parent = nullptr);

private:
    void PrintDeviceRow(std::uint16_t deviceId);
    void ForgetRow(int listIndex);
    void PrintCount(int count);
    void PrintRowChange(int row, const QStringList& texts);
    QStringList Row(int row) const;

    CMonitorCore& core_;
    int shownCount_ = 0;
    std::vector<QStringList> shownRows_;  // what was last printed per row
};
