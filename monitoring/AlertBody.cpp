// The body of an alert e-mail: the device, its channels, its supply rails, its on-time and,
// when chosen, the customer's and installer's details.
#include "monitoring/MonitorCore.h"
#include "platform/PrintableText.h"

namespace {

// The bullet of the details sections, a middle dot in UTF-8.
const char* const Bullet = "\xC2\xB7";

}  // namespace

std::string CMonitorCore::AlertBody(const Device& device, const DeviceStatus& status) const {
    std::string body = std::string("Model:\t\t") + codec_->ModelName(device.ModelCode) + "\r\n";
    // A line break in the serial must not start a line of the device's making.
    body += "Serial No:\t" + PrintableText(device.Serial) + "\r\n";
    body += ChannelSection(device, status);
    body += SupplySection(status);
    body += OnTimeSection(status);
    if (AdvancedEmail.Customer) body += CustomerSection();
    if (AdvancedEmail.Installer) body += InstallerSection();
    return body;
}

std::string CMonitorCore::ChannelSection(const Device& device, const DeviceStatus& status) const {
    std::string section = "\r\nOutput Channels Condition:\r\n";
    const int channels = ModelChannelCount(device.ModelCode);
    for (int i = 0; i < channels; ++i) section += ChannelLine(i, status);
    return section;
}

std::string CMonitorCore::ChannelLine(int channel, const DeviceStatus& status) {
    if (channel < 0 || channel > 6) return {};
    std::string faults;
    const auto add = [&faults](const char* word) {
        if (!faults.empty()) faults += ", ";
        faults += word;
    };
    if (status.ChannelOk[channel] == 0) add("CHANNEL FAILURE");
    if (status.FanOk[channel] == 0) add("FAN FAILURE");
    if (status.TempOk[channel] == 0) add("HIGH TEMPERATURE");
    if (status.CurrentOk[channel] == 0) add("OVER-CURRENT");
    if (faults.empty()) faults = "OK";
    return "\tChannel " + std::to_string(channel + 1) + ": \t" + faults + "\r\n";
}

std::string CMonitorCore::SupplySection(const DeviceStatus& status) {
    const auto state = [&status](int rail) {
        return std::string(status.SupplyOk[rail] != 0 ? "OK" : "OUT OF LIMITS");
    };
    return "\r\nPower Supply Condition:\r\n\t-5V: \t\t" + state(0) + "\r\n\t+12V: \t\t" + state(1) +
           "\r\n\t+72V (A): \t" + state(2) + "\r\n\t+72V (B): \t" + state(3) + "\r\n";
}

std::string CMonitorCore::OnTimeSection(const DeviceStatus& status) {
    const auto minutes = static_cast<std::uint32_t>(status.OperatingMinutes);
    std::string section = "\r\nTotal On Time: ";
    if (minutes == 0) return section + "Not Available\r\n";
    const std::uint32_t h = minutes / 60;
    const std::uint32_t m = minutes % 60;
    if (h != 0) section += std::to_string(h) + " h ";
    return section + std::to_string(m) + " min\r\n";
}

std::string CMonitorCore::CustomerSection() const {
    return std::string("\r\nCustomer's Details:\r\n\t") + Bullet + " Name: \t\t\t" +
           AdvancedEmail.CustomerName + "\r\n\t" + Bullet + " Telephone No: \t\t\t" +
           AdvancedEmail.CustomerPhone + "\r\n\t" + Bullet + " Preferred Method of Contact: \t" +
           (AdvancedEmail.ByEmail ? "E-mail\r\n" : "Telephone\r\n");
}

std::string CMonitorCore::InstallerSection() const {
    return std::string("\r\nInstaller's Details:\r\n\t") + Bullet + " Name: \t\t\t" +
           AdvancedEmail.InstallerName + "\r\n\t" + Bullet + " Installation Date (dd/mm/yy): \t" +
           AdvancedEmail.InstallDay + "/" + AdvancedEmail.InstallMonth + "/" +
           AdvancedEmail.InstallYear + "\r\n";
}
