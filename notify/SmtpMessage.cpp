#include "notify/SmtpMessage.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

constexpr const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view EncodedWordStart = "=?utf-8?B?";
constexpr std::string_view EncodedWordEnd = "?=";
// 45 bytes give 60 base64 characters: with the 12 of the frame, 72 of the 75 allowed.
constexpr std::size_t EncodedWordBytes = 45;

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::uint32_t Byte(std::string_view bytes, std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
}

std::string Base64(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t v = Byte(bytes, i) << 16 | Byte(bytes, i + 1) << 8 | Byte(bytes, i + 2);
        const std::size_t present = bytes.size() - i;  // 1, 2 or 3 or more
        out += Base64Digits[(v >> 18) & 63];
        out += Base64Digits[(v >> 12) & 63];
        out += present > 1 ? Base64Digits[(v >> 6) & 63] : '=';
        out += present > 2 ? Base64Digits[v & 63] : '=';
    }
    return out;
}

// Where a word of at most `limit` bytes starting at `from` should end: never inside a UTF-8
// sequence, because each encoded-word must decode on its own.
std::size_t WordEnd(std::string_view text, std::size_t from, std::size_t limit) {
    std::size_t end = from + limit;
    if (end >= text.size()) return text.size();
    while (end > from + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return end;
}

constexpr const char* Specials = "()<>[]:;@\\,.\"";

// A word that may stand in a display name as it is.
bool IsAtom(std::string_view word) {
    return !word.empty() && IsAscii(word) &&
           word.find_first_of(Specials) == std::string_view::npos &&
           word.find("=?") == std::string_view::npos;
}

// `text` as encoded-words of at most 75 characters, joined by `separator`.
std::string EncodedWords(std::string_view text, std::string_view separator) {
    std::string out;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = WordEnd(text, from, EncodedWordBytes);
        if (!out.empty()) out.append(separator);
        out.append(EncodedWordStart).append(Base64(text.substr(from, end - from)));
        out.append(EncodedWordEnd);
        from = end;
    }
    return out;
}

bool IsDomainChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || u <= 0x20 || u == 0x7F) return false;
    return std::string_view("()<>[]:;@\\,\"").find(c) == std::string_view::npos;
}

std::string MessageIdDomain(std::string_view sender) {
    const std::size_t at = sender.rfind('@');
    const std::string_view domain = at == std::string_view::npos ? "" : sender.substr(at + 1);
    bool usable = !domain.empty() && domain.front() != '.' && domain.back() != '.';
    for (char c : domain) usable = usable && IsDomainChar(c);
    return usable ? std::string(domain) : std::string("localhost");
}

}  // namespace

std::string EncodeSmtpHeaderText(std::string_view text) {
    // "=?" in plain text would be taken for the start of an encoded-word by the reader.
    if (IsAscii(text) && text.find("=?") == std::string_view::npos) return std::string(text);
    return EncodedWords(text, "\r\n ");
}

std::string EncodeSmtpDisplayName(std::string_view name) {
    if (IsAscii(name) && name.find("=?") == std::string_view::npos) {
        if (name.find_first_of(Specials) == std::string_view::npos) return std::string(name);
        std::string quoted = "\"";
        for (char c : name) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + '"';
    }
    // Plain words stay atoms; each run of words that cannot be atoms becomes encoded-words,
    // with the blanks inside the run encoded too, since readers drop the blanks between two
    // encoded-words (and some put one back): a run that fits one word reads back the same
    // with either kind of reader.
    std::string out;
    std::string run;
    const auto flush = [&] {
        if (run.find_first_not_of(' ') == std::string::npos) return run.clear();
        if (!out.empty()) out += ' ';
        out += EncodedWords(run, " ");
        run.clear();
    };
    std::size_t from = 0;
    while (from <= name.size()) {
        std::size_t end = name.find(' ', from);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view word = name.substr(from, end - from);
        if (IsAtom(word)) {
            flush();
            if (!out.empty()) out += ' ';
            out.append(word);
        } else {
            if (!run.empty()) run += ' ';
            run.append(word);
        }
        from = end + 1;
    }
    flush();
    return out;
}

std::string FormatSmtpFrom(std::string_view userName, std::string_view sender) {
    const std::string name = EncodeSmtpDisplayName(userName);
    // An encoded-word must be followed by a blank before the "<" (readers flag it otherwise);
    // other names keep the address right after them.
    const bool encoded = name.find("=?") != std::string::npos;
    return name + (encoded ? " <" : "<") + std::string(sender) + ">";
}

std::string FormatSmtpDate(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absMinutes = std::labs(offsetMinutes);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  DayNames[local.tm_wday % 7], local.tm_mday, MonthNames[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offsetMinutes < 0 ? '-' : '+', absMinutes / 60, absMinutes % 60);
    return text;
}

std::string MakeSmtpMessageId(std::string_view sender) {
    // Time, process and a counter make the id unique on this machine; the random part keeps
    // two machines (or two runs within one second) apart.
    static const std::uint32_t salt = std::random_device{}();
    static std::atomic<std::uint32_t> counter{0};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char unique[96];
    std::snprintf(unique, sizeof unique, "%04d%02d%02d%02d%02d%02d.%ld.%u.%08x", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(getpid()), ++counter, salt);
    return std::string("<") + unique + "@" + MessageIdDomain(sender) + ">";
}

std::string BuildSmtpHeader(const SmtpMessageFields& fields) {
    std::string to;
    for (const std::string& recipient : fields.recipients) {
        if (recipient.empty()) continue;
        if (!to.empty()) to += ',';
        to += recipient;
    }
    // A serial number is whatever a device sends: a line break in it must not start a new
    // header line.
    std::string subject = fields.subject;
    for (char& c : subject) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    std::string header;
    header += "FROM: " + FormatSmtpFrom(fields.userName, fields.sender) + "\r\n";
    header += "TO: " + to + "\r\n";
    header += "SUBJECT: " + EncodeSmtpHeaderText(subject) + "\r\n";
    header += "Date: " + FormatSmtpDate(fields.date) + "\r\n";
    header += "Message-ID: " + fields.messageId + "\r\n";
    header += "MIME-Version: 1.0\r\n";
    header += "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    return header;
}

std::string PrepareSmtpBody(std::string_view body) {
    std::string out;
    out.reserve(body.size() + body.size() / 32 + 2);
    bool lineStart = true;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r' || c == '\n') {
            // A lone CR or LF is not a line end in a mail; servers that enforce this refuse it.
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = false;
    }
    return out;
}
