// The configuration file: every setting, the device table and the failure counters, read
// once at start-up and written whole at shutdown, once a day, and a few seconds after
// anything in it has changed.
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "monitoring/MonitorCore.h"
#include "platform/IniFile.h"
#include "platform/PrivateFiles.h"

namespace {

const char* const ChannelCounterWords[] = {"ChanErr", "TempErr", "FanErr", "CurrentErr"};
const char* const SupplyCounterWords[] = {"Minus5VErr", "Plus12VErr", "Plus72VAErr", "Plus72VBErr"};
const char* const DefaultServiceAddress = "service@example.com";

std::string Numbered(const char* prefix, int n) {
    return prefix + std::to_string(n);
}

// "FanErr3device 12": the word, the channel, "device ", the device number.
std::string ChannelCounterKey(int word, int channel, int n) {
    return ChannelCounterWords[word] + std::to_string(channel) + "device " + std::to_string(n);
}

// "Minus5VErrdevice 12": the rail's word, "device ", the device number.
std::string SupplyCounterKey(int rail, int n) {
    return SupplyCounterWords[rail] + std::string("device ") + std::to_string(n);
}

}  // namespace

void CMonitorCore::LoadConfiguration() {
    // A run that was killed while saving leaves its temporary beside the file.
    CIniFile::RemoveStaleTemporaries(options_.configPath);
    CIniFile::LoadOutcome outcome;
    const CIniFile ini = CIniFile::Load(options_.configPath, &outcome);
    // Settings that are there but unknown must not be replaced by the defaults at the next save.
    fileProtected_ = outcome.Unreadable();

    NotifiableEvents.ChanErr = ini.ReadBool("Events", "ChanErr", true);
    NotifiableEvents.PSupplyErr = ini.ReadBool("Events", "PSupplyErr", false);
    NotifiableEvents.FanErr = ini.ReadBool("Events", "FanErr", false);
    NotifiableEvents.TempErr = ini.ReadBool("Events", "TempErr", false);
    NotifiableEvents.OvcErr = ini.ReadBool("Events", "OvcErr", false);
    const NotifiableEvents_Type defaultEvents;
    NotifiableEvents.LostErr = ini.ReadBool("Events", "LostErr", defaultEvents.LostErr);
    NotifiableEvents.LostMinutes = std::clamp(
        ini.ReadInteger("Events", "LostMinutes", defaultEvents.LostMinutes), 1, MaxLostMinutes);
    NotifiableEvents.Recovery = ini.ReadBool("Events", "Recovery", defaultEvents.Recovery);
    NotifiableEvents.Confirm =
        std::clamp(ini.ReadInteger("Events", "Confirm", defaultEvents.Confirm), 1, MaxConfirm);
    if (!SwitchFlags.alerts) {
        NotifiableEvents.PSupplyErr = false;
        NotifiableEvents.FanErr = false;
        NotifiableEvents.TempErr = false;
        NotifiableEvents.OvcErr = false;
    }

    AdvancedEmail.Customer = ini.ReadBool("Advanced", "Customer", false);
    AdvancedEmail.CustomerName = ini.ReadString("Advanced", "CustomerName", "");
    AdvancedEmail.ByEmail = ini.ReadBool("Advanced", "ByEmail", false);
    AdvancedEmail.CustomerPhone = ini.ReadString("Advanced", "CustomerPhone", "");
    AdvancedEmail.Installer = ini.ReadBool("Advanced", "Installer", false);
    AdvancedEmail.InstallerName = ini.ReadString("Advanced", "InstallerName", "");
    AdvancedEmail.InstallDay = ini.ReadString("Advanced", "InstallDay", "");
    AdvancedEmail.InstallMonth = ini.ReadString("Advanced", "InstallMonth", "");
    AdvancedEmail.InstallYear = ini.ReadString("Advanced", "InstallYear", "");

    ReadEmailSettings(ini);

    TestModeSettings.On = ini.ReadBool("Test", "On", false);
    TestModeSettings.Active = ini.ReadInteger("Test", "Active", 2);
    TestModeSettings.Standby = ini.ReadInteger("Test", "Standby", 2);
    Options.Poll = ini.ReadInteger("Options", "Poll", 300000);
    Options.Log = ini.ReadBool("Options", "Log", true);
    Options.Avlo = ini.ReadBool("Options", "Avlo", true);
    Options.Startup = ini.ReadBool("Options", "Startup", true);
    Options.Notify = ini.ReadBool("Options", "Notify", true);
    ReadWebSettings(ini);
    ReadWebhookSettings(ini);

    if (Options.Log) eventLog_->WriteEvent(EV_MONITOR_STARTED, EVENTLOG_SUCCESS);
    ReportUnusableWebhooks();
    if (fileProtected_) {
        ReportProgramError("The settings file \"" + options_.configPath + "\" could not be read (" +
                               std::strerror(outcome.error) +
                               "). AVLO Monitor runs with the default settings and does not write "
                               "over that file until it is started again.",
                           true);
    }

    const bool sameDay = ini.ReadString("Alerts", "Day", "") == MarksDay();
    const int registered = ini.ReadInteger("AVLO", "Registered", 0);
    // A duplicate name is made unique with a number no stored device already has, so that
    // a name that was unique in the file is never changed.
    std::vector<std::string> storedNames;
    for (int n = 0; n < registered; ++n) {
        std::string name = ini.ReadString("AVLO", Numbered("Name ", n), "");
        if (!name.empty()) storedNames.push_back(std::move(name));
    }
    for (int n = 0; n < registered; ++n) {
        DeviceContext context;
        context.Name = ini.ReadString("AVLO", Numbered("Name ", n), "");
        // One spelling per address: an older file may hold "192.168.001.010", which the
        // resolver would read as octal and discovery replies would never match.
        context.IpAddress = DecimalAddress(ini.ReadString("AVLO", Numbered("IP ", n), ""));
        context.AvloEnabled = ini.ReadBool("AVLO", Numbered("avlo ", n), false);
        context.ModelCode =
            static_cast<std::uint8_t>(ini.ReadInteger("AVLO", Numbered("Model ", n), 0));
        context.Serial = ini.ReadString("AVLO", Numbered("Serial ", n), "");
        std::int32_t stats[StatsCount] = {};
        for (int c = 0; c < 7; ++c) {
            for (int word = 0; word < 4; ++word) {
                stats[word * 7 + c] = ini.ReadInteger("STATS", ChannelCounterKey(word, c, n), 0);
            }
        }
        for (int rail = 0; rail < 4; ++rail) {
            stats[StatsMinus5VErr + rail] = ini.ReadInteger("STATS", SupplyCounterKey(rail, n), 0);
        }
        // Every stored device is kept, whatever the file holds: an entry without a name is
        // no entry (a "Registered" count beyond the entries present), an empty address is a
        // device waiting for discovery to find it, and a duplicate, which hand edits or an
        // older version could leave, becomes unique instead of losing its counters.
        if (context.Name.empty()) continue;
        context.Name = UniqueName(context.Name, storedNames);
        if (!IsAddressFree(context.IpAddress)) context.IpAddress.clear();
        const int id = AddDeviceRecord(context, stats);
        if (Device* added = FindDeviceById(static_cast<std::uint16_t>(id))) {
            ReadStatsSince(ini, n, *added);
            ReadAlertMarks(ini, n, *added, sameDay);
        }
    }

    if (SwitchFlags.test && TestModeSettings.On) TestModeTimer->start();
    emit SettingsLoaded();
}

void CMonitorCore::ReadEmailSettings(const CIniFile& ini) {
    EmailSettings_Type& e = EmailSettings;
    e.Enabled = ini.ReadBool("Email", "Alerts", false);
    e.server = ini.ReadString("Email", "ServerIp", "");
    e.port = ini.ReadString("Email", "ServerPort", "25");
    // The page's port field refuses what is not a number, and puts back what it held before:
    // nothing, at the load.
    if (!PortTextAccepted(e.port)) e.port.clear();
    e.userName = ini.ReadString("Email", "UserName", "");
    e.sender = ini.ReadString("Email", "UserEmail", "");
    e.recipient[0] = ini.ReadString("Email", "Email 1", DefaultServiceAddress);
    e.recipient[1] = ini.ReadString("Email", "Email 2", "");
    e.recipient[2] = ini.ReadString("Email", "Email 3", "");
    // A file from before these keys (or with a mode this version does not know) means the
    // plain, anonymous delivery it always meant.
    e.Security = ini.ReadInteger("Email", "Security", 0);
    if (e.Security < 0 || e.Security > static_cast<int>(SmtpSecurity::Tls)) e.Security = 0;
    e.SignIn = ini.ReadBool("Email", "SignIn", false);
    e.SignInUser = ini.ReadString("Email", "SignInUser", "");
    e.CaFile = ini.ReadString("Email", "CaFile", "");
}

void CMonitorCore::ReadWebSettings(const CIniFile& ini) {
    WebSettings_Type& w = WebSettings;
    const WebSettings_Type defaults;
    w.On = ini.ReadBool("Web", "On", defaults.On);
    w.Address = ini.ReadString("Web", "Address", defaults.Address);
    w.Port = ini.ReadInteger("Web", "Port", defaults.Port);
    if (w.Port < 1 || w.Port > 65535) w.Port = defaults.Port;
    w.Tls = ini.ReadBool("Web", "Tls", defaults.Tls);
    w.CertFile = ini.ReadString("Web", "CertFile", "");
    w.KeyFile = ini.ReadString("Web", "KeyFile", "");
    w.MetricsToken = ini.ReadString("Web", "MetricsToken", "");
}

// After every other section, so a file from before the web service only gains lines at its end.
void CMonitorCore::WriteWebSettings(CIniFile& ini) const {
    const WebSettings_Type& w = WebSettings;
    ini.WriteBool("Web", "On", w.On);
    ini.WriteString("Web", "Address", w.Address);
    ini.WriteInteger("Web", "Port", w.Port);
    ini.WriteBool("Web", "Tls", w.Tls);
    ini.WriteString("Web", "CertFile", w.CertFile);
    ini.WriteString("Web", "KeyFile", w.KeyFile);
    ini.WriteString("Web", "MetricsToken", w.MetricsToken);
}

void CMonitorCore::WriteEmailSettings(CIniFile& ini) const {
    const EmailSettings_Type& e = EmailSettings;
    ini.WriteBool("Email", "Alerts", e.Enabled);
    ini.WriteString("Email", "ServerIp", e.server);
    ini.WriteString("Email", "ServerPort", e.port);
    ini.WriteString("Email", "UserName", e.userName);
    ini.WriteString("Email", "UserEmail", e.sender);
    ini.WriteString("Email", "Email 1", e.recipient[0]);
    ini.WriteString("Email", "Email 2", e.recipient[1]);
    ini.WriteString("Email", "Email 3", e.recipient[2]);
    ini.WriteInteger("Email", "Security", e.Security);
    ini.WriteBool("Email", "SignIn", e.SignIn);
    ini.WriteString("Email", "SignInUser", e.SignInUser);
    ini.WriteString("Email", "CaFile", e.CaFile);
}

// The whole file is written to a temporary file and renamed over the old one, so a crash or
// a power failure during the save leaves the previous file whole instead of no file at all.
void CMonitorCore::SaveConfiguration() {
    // During the shutdown nobody may be there to answer a box, and it would hold up the end.
    WriteConfiguration(!closing_);
}

void CMonitorCore::SaveBeforeExit() {
    WriteConfiguration(false);
}

// A folder that cannot be made shows in what fails to be written in it, where it is reported.
// Made private: whoever can write it can replace the settings, and with them the mail server
// that the password is sent to.
void CMonitorCore::MakeSettingsFolder() const {
    MakePrivateFolders(std::filesystem::path(options_.configPath).parent_path().string());
}

bool CMonitorCore::WriteConfiguration(bool mayShowBox) {
    if (fileProtected_) return false;
    CheckRecordsCoverText();
    CIniFile ini;
    FillConfiguration(ini);
    const std::string text = ini.Serialize();
    MakeSettingsFolder();
    std::string failure;
    const bool saved = ini.Save(options_.configPath, &failure);
    // A failed save is tried again at the next change, the daily save and the shutdown, not
    // at every check in between.
    savedText_ = text;
    savedRecords_ = FileRecords();
    pendingChecks_ = 0;
    if (!saved && !saveFailureReported_) {
        saveFailureReported_ = true;
        ReportProgramError("The settings could not be saved to \"" + options_.configPath + "\" (" +
                               failure +
                               "). Until a save succeeds, changes are lost when the program ends.",
                           mayShowBox);
    }
    return saved;
}

// Checked every second: a change is written once it has stood still for a check, and at the
// latest a few checks after it was first seen, so a burst of changes (a network search, typing
// in a field) makes one save, and no way of ending the process loses more than a few seconds.
void CMonitorCore::SaveIfChanged() {
    if (closing_ || fileProtected_) return;
    ConfigurationRecords now = FileRecords();
    if (now != savedRecords_) emit RecordsChanged();
    if (options_.saveEveryMs > 0) {
        SaveConfiguration();
        return;
    }
    if (now == savedRecords_) {
        CheckRecordsCoverText();
        pendingChecks_ = 0;
        return;
    }
    constexpr int MaxPendingChecks = 3;
    if ((pendingChecks_ == 0 || now != pendingRecords_) && pendingChecks_ < MaxPendingChecks) {
        pendingRecords_ = std::move(now);
        ++pendingChecks_;
        return;
    }
    // A record can differ where the text does not (a field the file does not hold, a change
    // undone): the file is not written again for that.
    if (ConfigurationText() == savedText_) {
        savedRecords_ = std::move(now);
        pendingChecks_ = 0;
        return;
    }
    SaveConfiguration();
}

// The file's text as a save would write it now.
std::string CMonitorCore::ConfigurationText() const {
    CIniFile ini;
    FillConfiguration(ini);
    return ini.Serialize();
}

namespace {

DeviceFileRecord FileRecordOf(const CMonitorCore::Device& device) {
    DeviceFileRecord d;
    d.Name = device.Name;
    d.IpAddress = device.IpAddress;
    d.AvloEnabled = device.AvloEnabled;
    d.ModelCode = device.ModelCode;
    d.Serial = device.Serial;
    std::copy(std::begin(device.Stats), std::end(device.Stats), d.Stats.begin());
    d.StatsSince = device.StatsSince;
    d.StatsSinceKnown = device.StatsSinceKnown;
    d.MutedUntil = device.MutedUntil;
    d.Notified = CMonitorCore::MarkedItems(device.Notified);
    d.AlertedFaults = device.AlertedFaults;
    d.AlertedSince = device.AlertedFaults != 0 ? device.AlertedSince : 0;
    d.UnreachableAlerted = device.UnreachableAlerted;
    d.UnreachableSince = device.UnreachableAlerted ? device.UnreachableSince : 0;
    d.UnreachableNotified = device.UnreachableNotified;
    return d;
}

}  // namespace

ConfigurationRecords CMonitorCore::FileRecords() const {
    ConfigurationRecords r{
        NotifiableEvents, AdvancedEmail, EmailSettings, Options,        TestModeSettings, {},
        statsKeptSince_,  WebSettings,   MarksDay(),    WebhookSettings};
    r.Devices.reserve(devices_.size());
    for (const auto& device : devices_) r.Devices.push_back(FileRecordOf(*device));
    return r;
}

// Runs where the records show no change since the last save: the text must show none either.
// Release builds skip it, as it costs what the records save.
void CMonitorCore::CheckRecordsCoverText() const {
#ifndef NDEBUG
    // Before the start nothing has been saved or loaded to compare with.
    if (savedText_.empty() || FileRecords() != savedRecords_) return;
    const std::string text = ConfigurationText();
    if (text == savedText_) return;
    std::size_t at = 0;
    while (at < text.size() && at < savedText_.size() && text[at] == savedText_[at]) ++at;
    const std::size_t lineEnd = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    const std::size_t lineStart = lineEnd == std::string::npos ? 0 : lineEnd + 1;
    qFatal(
        "The settings file's text changed at \"%s\" while its records did not: the change "
        "check would never save it. ConfigurationRecords and FileRecords must hold it.",
        text.substr(lineStart, text.find('\r', lineStart) - lineStart).c_str());
#endif
}

void CMonitorCore::FillConfiguration(CIniFile& ini) const {
    ini.WriteBool("Events", "ChanErr", NotifiableEvents.ChanErr);
    ini.WriteBool("Events", "PSupplyErr", NotifiableEvents.PSupplyErr);
    ini.WriteBool("Events", "FanErr", NotifiableEvents.FanErr);
    ini.WriteBool("Events", "TempErr", NotifiableEvents.TempErr);
    ini.WriteBool("Events", "OvcErr", NotifiableEvents.OvcErr);
    ini.WriteBool("Events", "LostErr", NotifiableEvents.LostErr);
    ini.WriteInteger("Events", "LostMinutes", NotifiableEvents.LostMinutes);
    ini.WriteBool("Events", "Recovery", NotifiableEvents.Recovery);
    ini.WriteInteger("Events", "Confirm", NotifiableEvents.Confirm);

    ini.WriteBool("Advanced", "Customer", AdvancedEmail.Customer);
    ini.WriteString("Advanced", "CustomerName", AdvancedEmail.CustomerName);
    ini.WriteBool("Advanced", "ByEmail", AdvancedEmail.ByEmail);
    ini.WriteString("Advanced", "CustomerPhone", AdvancedEmail.CustomerPhone);
    ini.WriteBool("Advanced", "Installer", AdvancedEmail.Installer);
    ini.WriteString("Advanced", "InstallerName", AdvancedEmail.InstallerName);
    ini.WriteString("Advanced", "InstallDay", AdvancedEmail.InstallDay);
    ini.WriteString("Advanced", "InstallMonth", AdvancedEmail.InstallMonth);
    ini.WriteString("Advanced", "InstallYear", AdvancedEmail.InstallYear);

    WriteEmailSettings(ini);

    ini.WriteInteger("Options", "Poll", Options.Poll);
    ini.WriteBool("Options", "Log", Options.Log);
    ini.WriteBool("Options", "Avlo", Options.Avlo);
    ini.WriteBool("Options", "Startup", Options.Startup);
    ini.WriteBool("Options", "Notify", Options.Notify);
    ini.WriteBool("Test", "On", TestModeSettings.On);
    ini.WriteInteger("Test", "Active", TestModeSettings.Active);
    ini.WriteInteger("Test", "Standby", TestModeSettings.Standby);
    ini.WriteInteger("AVLO", "Registered", DeviceCount());

    for (int n = 0; n < DeviceCount(); ++n) {
        const Device& device = *devices_[static_cast<std::size_t>(n)];
        ini.WriteString("AVLO", Numbered("Name ", n), device.Name);
        ini.WriteString("AVLO", Numbered("IP ", n), device.IpAddress);
        ini.WriteBool("AVLO", Numbered("avlo ", n), device.AvloEnabled);
        ini.WriteInteger("AVLO", Numbered("Model ", n), device.ModelCode);
        ini.WriteString("AVLO", Numbered("Serial ", n), device.Serial);
        for (int c = 0; c < 7; ++c) {
            for (int word = 0; word < 4; ++word) {
                ini.WriteInteger("STATS", ChannelCounterKey(word, c, n),
                                 device.Stats[word * 7 + c]);
            }
        }
        for (int rail = 0; rail < 4; ++rail) {
            ini.WriteInteger("STATS", SupplyCounterKey(rail, n),
                             device.Stats[StatsMinus5VErr + rail]);
        }
    }
    WriteStatsSince(ini);
    WriteWebSettings(ini);
    WriteAlertMarks(ini);
    WriteWebhookSettings(ini);
}
