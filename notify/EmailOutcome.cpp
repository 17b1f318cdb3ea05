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
    return "AVLO Monitor could not establish connection with " + f.server + " SMTP server via port " +
           f.port + ".\r\n";
}

// Two forms of the connection-failure dialog: the break right after "with" and a blank before
// the quote, or a blank after "with" and the quote right after the break.
std::string NoConnectionDialog(const EmailFields& f, bool breakFirst, const char* advice) {
    const std::string lead = breakFirst ? "The application could not establish connection with\r\n \""
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
        case SmtpRecipient1Refused: return head + r[0] + ".\r\n";
        case SmtpRecipient2Refused: return head + r[1] + ".\r\n";
        case SmtpRecipient3Refused: return head + r[2] + ".\r\n";
        case SmtpRecipients12Refused: return head + r[0] + " and " + r[1] + ".\r\n";
        case SmtpRecipients13Refused: return head + r[0] + " and " + r[2] + ".\r\n";
        case SmtpRecipients23Refused: return head + r[1] + " and " + r[2] + ".\r\n";
        default: return head + r[0] + ", " + r[1] + ", and " + r[2] + ".\r\n";
    }
}

std::string RefusedDialog(int outcome, const EmailFields& f) {
    const std::string* r = f.recipient;
    const std::string one = "The SMTP server could not send your e-mail to the following recipient:\r\n    ";
    const std::string many = "The SMTP server could not send your e-mail to the following recipients:\r\n    ";
    switch (outcome) {
        case SmtpRecipient1Refused: return one + r[0] + ".";
        case SmtpRecipient2Refused: return one + r[1] + ".";
        case SmtpRecipient3Refused: return one + r[2] + ".";
        case SmtpRecipients12Refused: return many + r[0] + "\r\n    " + r[1] + ".";
        case SmtpRecipients13Refused: return many + r[0] + "\r\n    " + r[2] + ".";
        case SmtpRecipients23Refused: return many + r[1] + "\r\n    " + r[2] + ".";
        default: return many + r[0] + "\r\n    " + r[1] + "\r\n    " + r[2] + ".";
    }
}

}  // namespace

std::string EmailOutcomeLogText(int outcome, const EmailFields& f) {
    switch (outcome) {
        case SmtpBadServer:
        case SmtpBadPort:
        case SmtpHostNotFound:
        case SmtpConnectFailed:
            return NoConnectionLog(f);
        case SmtpBadUserName: return "Invalid username '" + f.userName + "'.\r\n";
        case SmtpBadSender:
        case SmtpSenderRejected:
            return "Invalid sender address '" + f.sender + "'.\r\n";
        case SmtpBadRecipients: return "Invalid destination address(es).\r\n";
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
            return {};  // busy, mailbox unavailable, and any unknown outcome
    }
}

std::string EmailOutcomeDialogText(int outcome, const EmailFields& f) {
    switch (outcome) {
        case SmtpOk: return "Your e-mail has been sent.";
        case SmtpBadServer:
            return NoConnectionDialog(f, true, "Check the IP address of the SMTP server, then try again.");
        case SmtpBadPort:
            return NoConnectionDialog(f, true, "Check the port number of the SMTP server, then try again.");
        case SmtpBadUserName:
            return "The application could not establish connection with SMTP server.\r\nCheck your "
                   "username, then try again.";
        case SmtpBadSender:
        case SmtpSenderRejected:
            return SenderDialog(f);
        case SmtpBadRecipients:
            return "The e-mail server could not validate the addresses of e-mail recipients.\r\nCheck "
                   "e-mail addresses of recipients, then try again.";
        case SmtpHostNotFound:
            return NoConnectionDialog(f, false,
                                      "Check that the address of SMTP server is correct and that \r\n"
                                      "this computer is connected to your Internet Service Provider.");
        case SmtpConnectFailed:
            return NoConnectionDialog(f, false,
                                      "Check your e-mail address and port number of the SMTP server, "
                                      "then try again.");
        case SmtpReplyTimeout:
            return "The e-mail server did not respond within the allowed time.\r\nCheck the network "
                   "connection, then try again.";
        case SmtpUnexpectedReply:
            return "The e-mail server could not send your e-mail.\r\nCheck the IP address of the SMTP "
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
            return {};
    }
}
