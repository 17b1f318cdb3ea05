#include "notify/SmtpProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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
    "SmtpStartTlsNotOffered",
    "SmtpTlsHandshakeFailed",
    "SmtpCertificateRejected",
    "SmtpNoSignInMethod",
    "SmtpSignInRefused",
    "SmtpSignInNotEncrypted",
    "SmtpBadSecurity",
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

bool IsLetterOrDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsValidLabel(std::string_view label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
        return false;
    }
    for (char c : label) {
        if (!IsLetterOrDigit(c) && c != '-') return false;
    }
    return true;
}

}  // namespace

std::string_view TrimSmtpBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<int> ReadSmtpPortText(std::string_view text) {
    text = TrimSmtpBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

int SmtpPortNumber(std::string_view text) {
    const std::optional<int> value = ReadSmtpPortText(text);
    return value && *value >= 1 && *value <= 65535 ? *value : 0;
}

bool IsValidSmtpDomainName(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    std::string_view last;
    for (std::size_t from = 0;;) {
        const std::size_t dot = name.find('.', from);
        last =
            name.substr(from, dot == std::string_view::npos ? std::string_view::npos : dot - from);
        if (!IsValidLabel(last)) return false;
        if (dot == std::string_view::npos) break;
        from = dot + 1;
    }
    for (char c : last) {
        if (!IsDigit(c)) return true;
    }
    return false;
}

std::string FormatSmtpAddressLiteral(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!address) return {};
    if (address->sa_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, address, sizeof v4);
        if (!inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text)) return {};
        return std::string("[") + text + "]";
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, address, sizeof v6);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            if (!inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text)) return {};
            return std::string("[") + text + "]";
        }
        if (!inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text)) return {};
        return std::string("[IPv6:") + text + "]";
    }
    return {};
}

std::string ChooseSmtpHeloName(std::string_view hostName, std::string_view addressLiteral) {
    if (IsValidSmtpDomainName(hostName)) return std::string(hostName);
    // A connected socket always has its own address; should it be missing all the same, a
    // name every server takes is better than one it refuses.
    return addressLiteral.empty() ? std::string("localhost") : std::string(addressLiteral);
}

std::string SmtpLocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

const char* SmtpResultName(SmtpResult result) {
    return result <= SmtpBadSecurity ? ResultNames[result] : "SmtpResult(?)";
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

int SmtpDefaultPort(SmtpSecurity security) {
    switch (security) {
        case SmtpSecurity::StartTls:
            return 587;
        case SmtpSecurity::Tls:
            return 465;
        case SmtpSecurity::None:
            break;
    }
    return 25;
}

std::string ProposeSmtpPort(const std::string& port, SmtpSecurity security) {
    const std::optional<int> value = ReadSmtpPortText(port);
    for (SmtpSecurity mode : {SmtpSecurity::None, SmtpSecurity::StartTls, SmtpSecurity::Tls}) {
        if (value == SmtpDefaultPort(mode)) return std::to_string(SmtpDefaultPort(security));
    }
    return port;
}

bool CSmtpReplyReader::TakeReply(int& code, std::vector<std::string>* lines) {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            if (replyBytes_ + pending_.size() <= MaxReplyBytes) return false;
            Clear();
            code = -1;
            if (lines) lines->clear();
            return true;
        }
        std::string_view line(pending_.data(), end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const int lineCode = LineCode(line);
        const bool continuation = lineCode >= 0 && line.size() > 3 && line[3] == '-';
        // A final line is three digits followed by a blank or by the line end; anything else
        // that is not a continuation ends the reply as one that cannot be understood.
        const bool wellFormedFinal = lineCode >= 0 && (line.size() == 3 || line[3] == ' ');
        lines_.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
        pending_.erase(0, end + 1);
        if (continuation) {
            replyBytes_ += end + 1;
            if (replyBytes_ <= MaxReplyBytes) continue;
        }
        replyBytes_ = 0;
        code = wellFormedFinal ? lineCode : -1;
        if (lines) *lines = std::move(lines_);
        lines_.clear();
        return true;
    }
}
