// The messages of the alert policy beside the fault alert's e-mail: the routes' record of a
// fault alert, the alert of a device that is not heard from, and the notice that a device's
// alerted problems are over.
#include <QDateTime>

#include "monitoring/MonitorCore.h"
#include "platform/PrintableText.h"

namespace {

std::string MomentText(std::int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        .toStdString();
}

// "2 h 5 min", "3 min", "40 s".
std::string Duration(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 60) return std::to_string(seconds) + " s";
    const std::int64_t minutes = seconds / 60;
    std::string text;
    if (minutes >= 60) text = std::to_string(minutes / 60) + " h ";
    return text + std::to_string(minutes % 60) + " min";
}

// The short words of the classes among the fault items.
std::vector<std::string> ProblemWords(std::uint32_t items) {
    const struct {
        int first, count;
        const char* word;
    } classes[] = {{StatsChanErr, 7, "channel"},
                   {StatsTempErr, 7, "temperature"},
                   {StatsFanErr, 7, "fan"},
                   {StatsCurrentErr, 7, "current"},
                   {StatsMinus5VErr, 4, "supply"}};
    std::vector<std::string> words;
    for (const auto& cls : classes) {
        const std::uint32_t mask = ((std::uint32_t{1} << cls.count) - 1) << cls.first;
        if ((items & mask) != 0) words.emplace_back(cls.word);
    }
    return words;
}

}  // namespace

// The device's lines at the head of each message.
static std::string DeviceLines(const CMonitorCore::Device& device, const std::string& model) {
    return "Device:\t\t" + PrintableText(device.Name) + "\r\nAddress:\t" +
           PrintableText(device.IpAddress) + "\r\nModel:\t\t" + model + "\r\nSerial No:\t" +
           PrintableText(device.Serial) + "\r\n";
}

// A message about the device, its texts still to be written.
static AlertNotice NoticeOf(AlertNotice::Kind kind, const CMonitorCore::Device& device,
                            const std::string& model) {
    AlertNotice notice;
    notice.What = kind;
    notice.DeviceName = device.Name;
    notice.Address = device.IpAddress;
    notice.Serial = device.Serial;
    notice.Model = model;
    return notice;
}

AlertNotice CMonitorCore::FaultAlert(const Device& device, const DeviceStatus& status) const {
    AlertNotice notice =
        NoticeOf(AlertNotice::Kind::Alert, device, codec_->ModelName(device.ModelCode));
    notice.Problems = ProblemWords(FaultItems(status));
    notice.Since = WallSeconds();
    notice.Subject = AlertSubject(device, status);
    notice.Text = AlertBody(device, status);
    return notice;
}

AlertNotice CMonitorCore::UnreachableAlert(const Device& device) const {
    AlertNotice notice =
        NoticeOf(AlertNotice::Kind::Alert, device, codec_->ModelName(device.ModelCode));
    notice.Problems = {"unreachable"};
    notice.Since = device.UnreachableSince;
    notice.Subject = SubjectStart("Alert", device) + "NOT REACHABLE";
    std::string text = DeviceLines(device, notice.Model);
    text += "\r\nNo status since:\t" + MomentText(device.UnreachableSince) + " (" +
            Duration(WallSeconds() - device.UnreachableSince) + ")\r\n";
    text += "Last known condition:\t";
    if (device.StatusTime != 0) {
        text += StatusWords(device.Status) + " (" + MomentText(device.StatusTime) + ")\r\n";
    } else {
        text += "none since the monitor started\r\n";
    }
    if (AdvancedEmail.Customer) text += CustomerSection();
    if (AdvancedEmail.Installer) text += InstallerSection();
    notice.Text = text;
    return notice;
}

AlertNotice CMonitorCore::RecoveryNotice(const Device& device) const {
    AlertNotice notice =
        NoticeOf(AlertNotice::Kind::Notice, device, codec_->ModelName(device.ModelCode));
    notice.Problems = ProblemWords(device.AlertedFaults);
    if (device.UnreachableAlerted) notice.Problems.emplace_back("unreachable");
    notice.Subject = SubjectStart("Notice", device) + "back to OK";
    const std::int64_t now = WallSeconds();
    std::string text = DeviceLines(device, notice.Model) + "\r\nCleared:\r\n";
    if (device.AlertedFaults != 0) {
        notice.Since = device.AlertedSince;
        std::string words;
        for (const std::string& word : ProblemWords(device.AlertedFaults))
            words += (words.empty() ? "" : ", ") + word;
        text += "\tFaults (" + words + "): alerted " + MomentText(device.AlertedSince) +
                ", lasted " + Duration(now - device.AlertedSince) + "\r\n";
    }
    if (device.UnreachableAlerted && device.UnreachableSince != 0) {
        if (notice.Since == 0 || device.UnreachableSince < notice.Since)
            notice.Since = device.UnreachableSince;
        text += "\tNot reachable: since " + MomentText(device.UnreachableSince) + ", lasted " +
                Duration(now - device.UnreachableSince) + "\r\n";
    } else if (device.UnreachableAlerted) {
        text += "\tNot reachable: reachable again\r\n";
    }
    text += "\r\nCondition now:\t" + StatusWords(device.Status) + "\r\n";
    notice.Text = text;
    return notice;
}
