#include "notify/EmailOutcome.h"

const char* const EmailDisclaimer =
    "\r\n______________________________\r\nIMPORTANT / DISCLAIMER\r\n"
    "\xC2\xB7 The information transmitted in this email and any attached file is for the use of "
    "the addressee only and may contain confidential and/or privileged material.\r\n"
    "\xC2\xB7 Unauthorised access, use or reproduction in any form by any person other than the "
    "addressee is prohibited.\r\n"
    "\xC2\xB7 If a recipient is not the addressee, please contact the sender or this Company "
    "immediately.\r\n"
    "\xC2\xB7 We do not warrant that this email or any files transmitted with it are free of "
    "viruses or any other electronic defect.\r\n";

namespace {

const char* const NetworkFailed = "The network subsystem has failed.\r\n";
const char* const SendError = "An error occured while sending your e-mail.\r\nTry again.";

std::string NoConnectionLog(const EmailFields& f) {
    return "AVLO Monitor could not establish connection with " + f.server +
           " SMTP server via port " + f.port + ".\r\n";
}

// Two forms of the connection-failure dialog: the break right after "with" and a blank before
// the quote, or a blank after "with" and the quote right after the break.
std::string NoConnectionDialog(const EmailFields& f, bool breakFirst, const char* advice) {
    const std::string lead = breakFirst
                                 ? "The application could not establish connection with\r\n \""
                                 : "The application could not establish connection with \r\n\"";
    return lead + f.server + "\" SMTP server via port " + f.port + ".\r\n" + advice;
}

std::string SenderDialog(const EmailFields& f) {
    return "The e-mail server could not validate your e-mail address\r\n\"" + f.sender +
           "\".\r\nCheck your e-mail address, then try again.";
}

// Refused recipients by outcome: 8 to 14 name recipients 1, 2, 3, 1+2, 1+3, 2+3, all.
std::string RefusedLog(int outcome, const EmailFields& f) {
    const std::string* r = f.recipient;
    const std::string head = "The SMTP server could not send e-mail to ";
    switch (outcome) {
        case SmtpRecipient1Refused:
            return head + r[0] + ".\r\n";
        case SmtpRecipient2Refused:
            return head + r[1] + ".\r\n";
        case SmtpRecipient3Refused:
            return head + r[2] + ".\r\n";
        case SmtpRecipients12Refused:
            return head + r[0] + " and " + r[1] + ".\r\n";
        case SmtpRecipients13Refused:
            return head + r[0] + " and " + r[2] + ".\r\n";
        case SmtpRecipients23Refused:
            return head + r[1] + " and " + r[2] + ".\r\n";
        default:
            return head + r[0] + ", " + r[1] + ", and " + r[2] + ".\r\n";
    }
}

std::string RefusedDialog(int outcome, const EmailFields& f) {
    const std::string* r = f.recipient;
    const std::string one =
        "The SMTP server could not send your e-mail to the following recipient:\r\n    ";
    const std::string many =
        "The SMTP server could not send your e-mail to the following recipients:\r\n    ";
    switch (outcome) {
        case SmtpRecipient1Refused:
            return one + r[0] + ".";
        case SmtpRecipient2Refused:
            return one + r[1] + ".";
        case SmtpRecipient3Refused:
            return one + r[2] + ".";
        case SmtpRecipients12Refused:
            return many + r[0] + "\r\n    " + r[1] + ".";
        case SmtpRecipients13Refused:
            return many + r[0] + "\r\n    " + r[2] + ".";
        case SmtpRecipients23Refused:
            return many + r[1] + "\r\n    " + r[2] + ".";
        default:
            return many + r[0] + "\r\n    " + r[1] + "\r\n    " + r[2] + ".";
    }
}

// ": reason" when the delivery gave one.
std::string Because(const EmailFields& f, const char* separator = ": ") {
    return f.reason.empty() ? std::string() : separator + f.reason;
}

const char* const SecuritySettings = "the server security settings";

std::string SecureLog(int outcome, const EmailFields& f) {
    switch (outcome) {
        case SmtpStartTlsNotOffered:
            return "The SMTP server " + f.server + " via port " + f.port +
                   " does not offer an encrypted connection (STARTTLS); the e-mail was not sent "
                   "unencrypted.\r\n";
        case SmtpTlsHandshakeFailed:
            return "The secure connection with " + f.server + " SMTP server via port " + f.port +
                   " failed" + Because(f) + ".\r\n";
        case SmtpCertificateRejected:
            return "The certificate of " + f.server + " SMTP server is not trusted" + Because(f) +
                   ".\r\n";
        case SmtpNoSignInMethod:
            return "The SMTP server " + f.server +
                   " offers no sign-in method that AVLO Monitor supports (PLAIN, LOGIN).\r\n";
        case SmtpSignInRefused:
            return "The SMTP server " + f.server + " refused the user name or password" +
                   Because(f) + ".\r\n";
        case SmtpBadSecurity:
            return "The security setting of the SMTP server is not valid: choose None, STARTTLS "
                   "or SSL/TLS in " +
                   std::string(SecuritySettings) + "; the e-mail was not sent.\r\n";
        default:
            return "Sign-in to the SMTP server needs an encrypted connection: choose STARTTLS or "
                   "SSL/TLS in " +
                   std::string(SecuritySettings) + ".\r\n";
    }
}

std::string SecureDialog(int outcome, const EmailFields& f) {
    const std::string advice = std::string("Check ") + SecuritySettings + ", then try again.";
    switch (outcome) {
        case SmtpStartTlsNotOffered:
            return "The e-mail server \"" + f.server +
                   "\" does not offer an encrypted connection (STARTTLS) on port " + f.port +
                   ".\r\nYour e-mail was not sent unencrypted. Check the security setting and the "
                   "port number of the SMTP server, then try again.";
        case SmtpTlsHandshakeFailed:
            return "The application could not establish a secure connection with\r\n\"" + f.server +
                   "\" SMTP server via port " + f.port + Because(f, ":\r\n") +
                   ".\r\nCheck the security setting and the port number of the SMTP server, then "
                   "try again.";
        case SmtpCertificateRejected:
            return "The certificate of the e-mail server \"" + f.server + "\" is not trusted" +
                   Because(f, ":\r\n") +
                   ".\r\nCheck the name of the SMTP server, or add the certificate of your own "
                   "certificate authority in " +
                   SecuritySettings + ", then try again.";
        case SmtpNoSignInMethod:
            return "The e-mail server \"" + f.server +
                   "\" offers no sign-in method that the application supports.\r\n" + advice;
        case SmtpSignInRefused:
            return "The e-mail server refused the user name or password" + Because(f, ":\r\n") +
                   ".\r\nCheck the user name and password in " + SecuritySettings +
                   ", then try again.";
        case SmtpBadSecurity:
            return "The security setting of the e-mail server is not valid.\r\nChoose None, "
                   "STARTTLS or SSL/TLS in " +
                   std::string(SecuritySettings) + ", then try again.";
        default:
            return "Sign-in to the e-mail server needs an encrypted connection.\r\nChoose "
                   "STARTTLS or SSL/TLS in " +
                   std::string(SecuritySettings) + ", then try again.";
    }
}

bool IsSecureOutcome(int outcome) {
    return outcome >= SmtpStartTlsNotOffered && outcome <= SmtpBadSecurity;
}

}  // namespace

std::string EmailOutcomeLogText(int outcome, const EmailFields& f) {
    switch (outcome) {
        case SmtpBadServer:
        case SmtpBadPort:
        case SmtpHostNotFound:
        case SmtpConnectFailed:
            return NoConnectionLog(f);
        case SmtpBadUserName:
            return "Invalid username '" + f.userName + "'.\r\n";
        case SmtpBadSender:
        case SmtpSenderRejected:
            return "Invalid sender address '" + f.sender + "'.\r\n";
        case SmtpBadRecipients:
            return "Invalid destination address(es).\r\n";
        case SmtpSocketError:
        case SmtpNoSocket:
        case SmtpNetworkDown:
        case SmtpReplyTimeout:
        case SmtpConnectionClosed:
        case SmtpUnexpectedReply:
        case SmtpBadCommand:
        case SmtpStopped:
            return NetworkFailed;
        default:
            if (outcome >= SmtpRecipient1Refused && outcome <= SmtpAllRecipientsRefused) {
                return RefusedLog(outcome, f);
            }
            if (IsSecureOutcome(outcome)) return SecureLog(outcome, f);
            return {};  // busy, mailbox unavailable, and any unknown outcome
    }
}

std::string EmailOutcomeDialogText(int outcome, const EmailFields& f) {
    switch (outcome) {
        case SmtpOk:
            return "Your e-mail has been sent.";
        case SmtpBadServer:
            return NoConnectionDialog(f, true,
                                      "Check the IP address of the SMTP server, then try again.");
        case SmtpBadPort:
            return NoConnectionDialog(f, true,
                                      "Check the port number of the SMTP server, then try again.");
        case SmtpBadUserName:
            return "The application could not establish connection with SMTP server.\r\nCheck your "
                   "username, then try again.";
        case SmtpBadSender:
        case SmtpSenderRejected:
            return SenderDialog(f);
        case SmtpBadRecipients:
            return "The e-mail server could not validate the addresses of e-mail "
                   "recipients.\r\nCheck "
                   "e-mail addresses of recipients, then try again.";
        case SmtpHostNotFound:
            return NoConnectionDialog(
                f, false,
                "Check that the address of SMTP server is correct and that \r\n"
                "this computer is connected to your Internet Service Provider.");
        case SmtpConnectFailed:
            return NoConnectionDialog(
                f, false,
                "Check your e-mail address and port number of the SMTP server, "
                "then try again.");
        case SmtpReplyTimeout:
            return "The e-mail server did not respond within the allowed time.\r\nCheck the "
                   "network "
                   "connection, then try again.";
        case SmtpUnexpectedReply:
            return "The e-mail server could not send your e-mail.\r\nCheck the IP address of the "
                   "SMTP "
                   "server, then try again.";
        case SmtpSocketError:
        case SmtpNoSocket:
        case SmtpNetworkDown:
        case SmtpConnectionClosed:
        case SmtpBadCommand:
        case SmtpStopped:
            return SendError;
        default:
            if (outcome >= SmtpRecipient1Refused && outcome <= SmtpAllRecipientsRefused) {
                return RefusedDialog(outcome, f);
            }
            if (IsSecureOutcome(outcome)) return SecureDialog(outcome, f);
            return {};
    }
}
