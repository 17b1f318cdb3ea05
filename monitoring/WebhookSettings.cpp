// The "Webhooks" section of the settings file, and which of its targets can be used.
#include "monitoring/MonitorCore.h"
#include "notify/WebhookBody.h"
#include "notify/WebhookUrl.h"
#include "platform/IniFile.h"

namespace {

constexpr const char* Section = "Webhooks";

std::string Key(const char* name, int n) {
    return name + std::to_string(n);
}

}  // namespace

void CMonitorCore::ReadWebhookSettings(const CIniFile& ini) {
    const WebhookTarget_Type defaults;
    for (int n = 1; n <= WebhookSettings_Type::TargetCount; ++n) {
        WebhookTarget_Type& t = WebhookSettings.Targets[static_cast<std::size_t>(n - 1)];
        t.On = ini.ReadBool(Section, Key("On", n), defaults.On);
        t.Url = ini.ReadString(Section, Key("Url", n), defaults.Url);
        t.Format = ini.ReadString(Section, Key("Format", n), defaults.Format);
    }
    WebhookSettings.CaFile = ini.ReadString(Section, "CaFile", "");
}

void CMonitorCore::WriteWebhookSettings(CIniFile& ini) const {
    for (int n = 1; n <= WebhookSettings_Type::TargetCount; ++n) {
        const WebhookTarget_Type& t = WebhookSettings.Targets[static_cast<std::size_t>(n - 1)];
        ini.WriteBool(Section, Key("On", n), t.On);
        ini.WriteString(Section, Key("Url", n), t.Url);
        ini.WriteString(Section, Key("Format", n), t.Format);
    }
    ini.WriteString(Section, "CaFile", WebhookSettings.CaFile);
}

std::optional<std::string> CMonitorCore::WebhookTargetFault(const WebhookTarget_Type& target) {
    if (!WebhookFormatNamed(target.Format)) {
        return "the format \"" + target.Format + "\" is none of json, chat, ntfy";
    }
    if (std::optional<std::string> fault = WebhookUrlFault(target.Url)) {
        return "its URL is " + *fault;
    }
    return std::nullopt;
}

void CMonitorCore::ReportUnusableWebhooks() {
    for (int n = 1; n <= WebhookSettings_Type::TargetCount; ++n) {
        const WebhookTarget_Type& t = WebhookSettings.Targets[static_cast<std::size_t>(n - 1)];
        if (!t.On) continue;
        if (const std::optional<std::string> fault = WebhookTargetFault(t)) {
            ReportProgramError("Webhook target " + std::to_string(n) + " is off: " + *fault + ".",
                               false);
        }
    }
}
