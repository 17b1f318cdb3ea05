#include "headless/HeadlessReporter.h"

#include <cstdio>

#include "monitoring/MonitorCore.h"
#include "platform/MessageBox.h"
#include "platform/PrintableText.h"

namespace {

void PrintLine(const QString& line) {
    std::fputs(PrintableText(line.toStdString()).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

CHeadlessReporter::CHeadlessReporter(CMonitorCore& core, QObject* parent)
    : QObject(parent), core_(core) {
    connect(&core, &CMonitorCore::DeviceRowChanged, this, &CHeadlessReporter::PrintDeviceRow);
    connect(&core, &CMonitorCore::DeviceRemoved, this, &CHeadlessReporter::ForgetRow);
    connect(&core, &CMonitorCore::DeviceCountChanged, this, &CHeadlessReporter::PrintCount);
    connect(&core, &CMonitorCore::SearchResult, this, [](const QString& text) {
        ShowMessage(nullptr, MsgKind::Information, QStringLiteral("AVLO Monitor"), text);
    });
}

// What a row shows: the check box first, then the four texts.
QStringList CHeadlessReporter::Row(int row) const {
    const CMonitorCore::Device* device = core_.FindDeviceByListIndex(row);
    if (!device) return {};
    return QStringList{device->AvloEnabled ? QStringLiteral("[x]") : QStringLiteral("[ ]")} +
           CMonitorCore::RowTexts(*device);
}

void CHeadlessReporter::PrintDeviceRow(std::uint16_t deviceId) {
    if (const CMonitorCore::Device* device = core_.FindDeviceById(deviceId))
        PrintRowChange(device->ListIndex, Row(device->ListIndex));
}

void CHeadlessReporter::ForgetRow(int listIndex) {
    if (listIndex >= 0 && listIndex < static_cast<int>(shownRows_.size()))
        shownRows_.erase(shownRows_.begin() + listIndex);
}

void CHeadlessReporter::PrintCount(int count) {
    if (count != shownCount_) PrintLine(QStringLiteral("registered: ") + QString::number(count));
    shownCount_ = count;
    // A deletion moves the rows below it up without a rewrite; show where they went.
    for (int row = 0; row < count; ++row) PrintRowChange(row, Row(row));
    for (int row = count; row < static_cast<int>(shownRows_.size()); ++row)
        PrintLine(QStringLiteral("row %1: removed").arg(row));
    if (static_cast<int>(shownRows_.size()) > count)
        shownRows_.resize(static_cast<std::size_t>(count));
}

void CHeadlessReporter::PrintRowChange(int row, const QStringList& texts) {
    if (row < 0) return;
    const auto index = static_cast<std::size_t>(row);
    if (shownRows_.size() <= index) shownRows_.resize(index + 1);
    if (shownRows_[index] == texts) return;
    shownRows_[index] = texts;
    PrintLine(QStringLiteral("row %1: ").arg(row) + texts.value(0) + QLatin1Char(' ') +
              texts.mid(1).join(QStringLiteral(" | ")));
}
