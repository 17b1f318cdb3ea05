#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "notify/EmailOutcome.h"

// The settings records of the monitor, as the configuration file holds them.

// The fault classes whose onset raises an alert e-mail.
// The longest hold time before a silent device is alerted (a day), and the most statuses in
// a row a fault must be seen in before it is alerted.
constexpr std::int32_t MaxLostMinutes = 1440;
constexpr std::int32_t MaxConfirm = 10;

struct NotifiableEvents_Type {
    bool ChanErr = true;
    bool PSupplyErr = false;
    bool FanErr = false;
    bool TempErr = false;
    bool OvcErr = false;
    // A monitored device that sent no status for LostMinutes is alerted as not reachable.
    bool LostErr = true;
    std::int32_t LostMinutes = 2;
    // A notice goes out when an alerted problem clears.
    bool Recovery = false;
    // A fault is alerted only once it is seen in this many statuses in a row.
    std::int32_t Confirm = 1;

    bool operator==(const NotifiableEvents_Type&) const = default;
};

struct Options_Type {
    std::int32_t Poll = 300000;
    bool Log = true;
    bool Avlo = true;
    bool Startup = true;
    bool Notify = true;

    bool operator==(const Options_Type&) const = default;
};

struct TestModeSettings_Type {
    bool On = false;
    std::int32_t Active = 2;
    std::int32_t Standby = 2;

    bool operator==(const TestModeSettings_Type&) const = default;
};

// The web service ("Web" section): off unless switched on; plain HTTP only on a loopback
// address; empty certificate and key files mean the self-signed pair beside the settings;
// an empty token leaves the metrics page open.
struct WebSettings_Type {
    bool On = false;
    std::string Address = "0.0.0.0";
    std::int32_t Port = 8470;
    bool Tls = true;
    std::string CertFile;
    std::string KeyFile;
    std::string MetricsToken;

    bool operator==(const WebSettings_Type&) const = default;
};

// The webhook targets ("Webhooks" section): each on or off, its URL (http or https) and its
// body's format as the file spells it ("json", "chat" or "ntfy"); a target whose URL or
// format is not usable counts as off. CaFile: more certificate authorities to trust for
// https targets (PEM; empty: the system's store only).
struct WebhookTarget_Type {
    bool On = false;
    std::string Url;
    std::string Format = "json";

    bool operator==(const WebhookTarget_Type&) const = default;
};

struct WebhookSettings_Type {
    static constexpr int TargetCount = 3;
    std::array<WebhookTarget_Type, TargetCount> Targets;
    std::string CaFile;

    bool operator==(const WebhookSettings_Type&) const = default;
};

// The customer's and installer's details that alert e-mails carry.
struct AdvancedEmail_Type {
    bool Customer = false;
    std::string CustomerName;
    bool ByEmail = false;  // preferred method of contact: true e-mail, false telephone
    std::string CustomerPhone;
    bool Installer = false;
    std::string InstallerName;
    std::string InstallDay;
    std::string InstallMonth;
    std::string InstallYear;

    bool operator==(const AdvancedEmail_Type&) const = default;
};

// The e-mail page: whether alerts go out by e-mail, and the texts of its fields (server, port
// as typed, user name, sender, three recipients).
struct EmailSettings_Type : EmailFields {
    bool Enabled = false;
    // How the connection to the server is protected (an SmtpSecurity value: 0 none, 1
    // STARTTLS, 2 SSL/TLS), whether to sign in and as whom (empty: the page's user name),
    // and a file of more certificate authorities to trust (empty: the system's store only).
    // The password is never here: the password store keeps it.
    int Security = 0;
    bool SignIn = false;
    std::string SignInUser;
    std::string CaFile;

    bool operator==(const EmailSettings_Type&) const = default;
};

// The e-mail page's fields, as a fault in the settings names them.
enum class EmailField { ServerIp, ServerPort, UserName, UserEmail, Email1, Email2, Email3 };

// The first fault the settings check finds: the field to correct and the text that says how.
struct EmailSettingsFault {
    EmailField Field = EmailField::ServerIp;
    const char* Message = "";
};
