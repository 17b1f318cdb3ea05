#pragma once

#include <string>

#include "notify/SmtpProtocol.h"

// The e-mail settings as the outcome texts name them: the texts of the e-mail page's fields.
struct EmailFields {
    std::string server;
    std::string port;
    std::string userName;
    std::string sender;
    std::string recipient[3];
    // What a delivery said about a TLS or sign-in failure (the library's reason, the
    // certificate check's verdict, the server's reply); empty otherwise.
    std::string reason;

    bool operator==(const EmailFields&) const = default;
};

// The text that follows "[<outcome>] " in the log; empty for the outcomes whose entry holds
// only the number.
std::string EmailOutcomeLogText(int outcome, const EmailFields& fields);
// The text of the test e-mail's dialog; empty where no dialog is shown.
std::string EmailOutcomeDialogText(int outcome, const EmailFields& fields);

// Appended to the body of every e-mail; the bullets are middle dots in UTF-8.
extern const char* const EmailDisclaimer;
