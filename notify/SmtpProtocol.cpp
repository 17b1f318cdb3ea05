#include "notify/SmtpProtocol.h"

#include <cerrno>
#include <initializer_list>

namespace {

struct CommandForm {
    const char* text;
    bool hasArgument;
    const char* ending;
    int accepted[2];  // 0 marks an unused place
};

// Id order is the table order; the greeting sends nothing.
constexpr CommandForm Commands[SmtpCommandCount] = {
    {"HELO ", true, "\r\n", {250, 0}},
    {"MAIL FROM:<", true, ">\r\n", {250, 0}},
    {"RCPT TO:<", true, ">\r\n", {250, 251}},
    {"DATA", false, "\r\n", {354, 0}},
    {"RSET", false, "\r\n", {250, 0}},
    {"SEND FROM:<", true, ">\r\n", {250, 0}},
    {"SOML FROM:<", true, ">\r\n", {250, 0}},
    {"SAML FROM:<", true, ">\r\n", {250, 0}},
    {"VRFY ", true, "\r\n", {250, 251}},
    {"EXPN ", true, "\r\n", {250, 0}},
    {"HELP", false, "\r\n", {211, 214}},
    {"NOOP", false, "\r\n", {250, 0}},
    {"QUIT", false, "\r\n", {221, 0}},
    {"TURN", false, "\r\n", {250, 0}},
    {"", false, "", {220, 0}},
    {"\r\n.", false, "\r\n", {250, 0}},
};

constexpr const char* ResultNames[] = {
    "SmtpBusy",
    "SmtpOk",
    "SmtpBadServer",
    "SmtpBadPort",
    "SmtpBadUserName",
    "SmtpBadSender",
    "SmtpBadRecipients",
    "SmtpMailboxUnavailable",
    "SmtpRecipient1Refused",
    "SmtpRecipient2Refused",
    "SmtpRecipient3Refused",
    "SmtpRecipients12Refused",
    "SmtpRecipients13Refused",
    "SmtpRecipients23Refused",
    "SmtpAllRecipientsRefused",
    "SmtpHostNotFound",
    "SmtpSocketError",
    "SmtpNoSocket",
    "SmtpNetworkDown",
    "SmtpConnectFailed",
    "SmtpReplyTimeout",
    "SmtpConnectionClosed",
    "SmtpUnexpectedReply",
    "SmtpSenderRejected",
    "SmtpBadCommand",
    "SmtpStopped",
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code of a reply line (its line end removed), or -1 when it has no three-digit start.
int LineCode(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
        return -1;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

const char* SmtpResultName(SmtpResult result) {
    return result <= SmtpStopped ? ResultNames[result] : "SmtpResult(?)";
}

SmtpResult BuildSmtpCommand(int id, std::string_view argument, std::string& text) {
    text.clear();
    if (id < 0 || id >= SmtpCommandCount) return SmtpBadCommand;
    const CommandForm& form = Commands[id];
    text = form.text;
    if (form.hasArgument) text.append(argument);
    text += form.ending;
    if (text.size() >= SmtpCommandLimit) {
        text.clear();
        return SmtpBadCommand;
    }
    return SmtpOk;
}

SmtpResult ClassifySmtpReply(int id, int code) {
    if (id >= 0 && id < SmtpCommandCount) {
        for (int accepted : Commands[id].accepted) {
            if (accepted != 0 && accepted == code) return SmtpOk;
        }
    }
    switch (code) {
        case 211:
        case 214:
        case 220:
        case 221:
        case 250:
        case 251:
        case 354:
            return SmtpOk;
        case 450:
            return SmtpBadRecipients;
        case 550:
        case 551:
            return SmtpMailboxUnavailable;
        case 553:
            return SmtpSenderRejected;
        default:
            return SmtpUnexpectedReply;
    }
}

SmtpResult RefusedRecipientsOutcome(unsigned refused) {
    switch (refused & 7u) {
        case 1:
            return SmtpRecipient1Refused;
        case 2:
            return SmtpRecipient2Refused;
        case 4:
            return SmtpRecipient3Refused;
        case 3:
            return SmtpRecipients12Refused;
        case 5:
            return SmtpRecipients13Refused;
        case 6:
            return SmtpRecipients23Refused;
        case 7:
            return SmtpAllRecipientsRefused;
        default:
            return SmtpOk;
    }
}

SmtpResult MapSocketError(int err) {
    switch (err) {
        case ENETDOWN:
        case ENETUNREACH:
            return SmtpNetworkDown;
        case EISCONN:
            return SmtpOk;
        default:
            return SmtpSocketError;
    }
}

bool CSmtpReplyReader::TakeReply(int& code) {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            if (replyBytes_ + pending_.size() <= MaxReplyBytes) return false;
            pending_.clear();
            replyBytes_ = 0;
            code = -1;
            return true;
        }
        std::string_view line(pending_.data(), end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const int lineCode = LineCode(line);
        const bool continuation = lineCode >= 0 && line.size() > 3 && line[3] == '-';
        // A final line is three digits followed by a blank or by the line end; anything else
        // that is not a continuation ends the reply as one that cannot be understood.
        const bool wellFormedFinal = lineCode >= 0 && (line.size() == 3 || line[3] == ' ');
        pending_.erase(0, end + 1);
        if (continuation) {
            replyBytes_ += end + 1;
            if (replyBytes_ <= MaxReplyBytes) continue;
        }
        replyBytes_ = 0;
        code = wellFormedFinal ? lineCode : -1;
        return true;
    }
}
