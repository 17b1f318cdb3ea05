// The e-mail settings: the check that runs before every e-mail, and the port field's filter.
#include <optional>

#include "monitoring/MonitorCore.h"
#include "notify/SmtpProtocol.h"

namespace {

const char* const RecipientWithoutAt =
    "A valid e-mail address must include the '@' character.\r\n"
    "Enter the e-mail address of the recipient, then try again.\r\n";

bool LacksAt(const std::string& text) {
    return text.find('@') == std::string::npos;
}

bool FilledWithoutAt(const std::string& text) {
    return !text.empty() && LacksAt(text);
}

}  // namespace

bool CMonitorCore::PortTextAccepted(const std::string& text) {
    return text.empty() || ReadSmtpPortText(text).has_value();
}

// The tests run in a fixed order and stop at the first fault.
std::optional<EmailSettingsFault> CMonitorCore::CheckEmailSettings() const {
    const EmailSettings_Type& e = EmailSettings;
    // Read as the SMTP client reads it, so that a port this check lets through is one the
    // client takes too (below 1 aside, which the client refuses and the dispatch reports).
    const std::optional<int> portValue = ReadSmtpPortText(e.port);

    if (e.server.empty()) {
        return EmailSettingsFault{
            EmailField::ServerIp,
            "You have not entered the IP address of your Internet Service Provider.\r\n"
            "Enter the IP address, then try again."};
    }
    if (e.port.empty()) {
        return EmailSettingsFault{EmailField::ServerPort,
                                  "The port number of the SMTP server has not been specified.\r\n"
                                  "Enter the port number, then try again.\r\n"
                                  "Note that default port number for the SMTP server is 25."};
    }
    if (!portValue) {
        return EmailSettingsFault{
            EmailField::ServerPort,
            "The port number of the SMTP server must be an integer between 1 and 65535.\r\n"
            "Enter a valid port number, then try again.\r\n"
            "Note that default port number for the SMTP server is 25."};
    }
    if (*portValue > 65535) {
        return EmailSettingsFault{EmailField::ServerPort,
                                  "The port number of the SMTP server must not exceed 65535.\r\n"
                                  "Enter a valid port number, then try again.\r\n"
                                  "Note that default port number for the SMTP server is 25."};
    }
    if (e.userName.empty()) {
        return EmailSettingsFault{
            EmailField::UserName,
            "You left Your Username blank. Enter your username, then try again.\r\n"
            "Note that the username should be that used to log into your Internet "
            "Service Provider."};
    }
    if (e.sender.empty()) {
        return EmailSettingsFault{EmailField::UserEmail,
                                  "You left Your E-mail Address blank. Enter your e-mail address, "
                                  "then try again.\r\n"};
    }
    if (LacksAt(e.sender)) {
        return EmailSettingsFault{EmailField::UserEmail,
                                  "A valid e-mail address must include the '@' character.\r\n"
                                  "Enter your e-mail address, then try again.\r\n"};
    }
    if (e.recipient[0].empty() && e.recipient[1].empty() && e.recipient[2].empty()) {
        return EmailSettingsFault{EmailField::Email1,
                                  "You did not specify any recipients of this e-mail.\r\n"
                                  " Enter at least one e-mail address, then try again."};
    }
    const EmailField recipientFields[] = {EmailField::Email1, EmailField::Email2,
                                          EmailField::Email3};
    for (int i = 0; i < 3; ++i) {
        if (FilledWithoutAt(e.recipient[i]))
            return EmailSettingsFault{recipientFields[i], RecipientWithoutAt};
    }
    return std::nullopt;
}
