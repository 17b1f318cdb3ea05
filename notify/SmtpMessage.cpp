#include "notify/SmtpMessage.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/PrintableText.h"

namespace {

constexpr const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view EncodedWordStart = "=?utf-8?B?";
constexpr std::string_view EncodedWordEnd = "?=";
// 39 bytes give 52 base64 characters, 64 with the frame: even after "SUBJECT: " the first
// word keeps its line within the 76 characters RFC 2047 allows one with encoded-words.
constexpr std::size_t EncodedWordBytes = 39;
constexpr std::size_t HeaderLineLimit = 76;
constexpr std::size_t QuotedPrintableLineLimit = 76;
constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::uint32_t Byte(std::string_view bytes, std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
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
        out.append(EncodedWordStart).append(EncodeSmtpBase64(text.substr(from, end - from)));
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

std::string EncodeSmtpBase64(std::string_view bytes) {
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

std::string EncodeSmtpHeaderText(std::string_view text) {
    // "=?" in plain text would be taken for the start of an encoded-word by the reader.
    if (IsAscii(text) && text.find("=?") == std::string_view::npos) return std::string(text);
    return EncodedWords(text, " ");
}

std::string FoldSmtpHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) return std::string(line);
    std::string out(line.substr(0, colon + 2));
    std::size_t column = out.size();
    bool first = true;
    for (std::size_t from = colon + 2; from <= line.size();) {
        std::size_t end = line.find(' ', from);
        if (end == std::string_view::npos) end = line.size();
        const std::string_view word = line.substr(from, end - from);
        if (!first) {
            if (column + 1 + word.size() > HeaderLineLimit) {
                out += "\r\n";
                column = 0;
            }
            out += ' ';
            ++column;
        }
        out.append(word);
        column += word.size();
        first = false;
        from = end + 1;
    }
    return out;
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
    // header line, nor any other control reach the reader's screen.
    std::string subject = fields.subject;
    for (char& c : subject) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    subject = PrintableText(subject);
    // Lines with encoded-words must stay within 76 characters; other lines keep the form
    // they always had.
    const auto folded = [](const std::string& line) {
        return line.find("=?") == std::string::npos ? line : FoldSmtpHeaderLine(line);
    };
    std::string header;
    header += folded("FROM: " + FormatSmtpFrom(fields.userName, fields.sender)) + "\r\n";
    header += "TO: " + to + "\r\n";
    header += folded("SUBJECT: " + EncodeSmtpHeaderText(subject)) + "\r\n";
    header += "Date: " + FormatSmtpDate(fields.date) + "\r\n";
    header += "Message-ID: " + fields.messageId + "\r\n";
    header += "MIME-Version: 1.0\r\n";
    header += "Content-Type: text/plain; charset=utf-8\r\n";
    // The body's UTF-8 bytes travel as 7-bit text: a strict server refuses 8-bit data that
    // no transfer encoding announces, and a client that greets with HELO cannot announce it.
    header += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    return header;
}

std::string EncodeSmtpQuotedPrintable(std::string_view body) {
    std::string out;
    out.reserve(body.size() + body.size() / 8 + 8);
    std::size_t column = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r' || c == '\n') {
            // A lone CR or LF is a line end too: a strict server refuses a bare one.
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            out += "\r\n";
            column = 0;
            continue;
        }
        const bool lineEnds = i + 1 == body.size() || body[i + 1] == '\r' || body[i + 1] == '\n';
        const auto u = static_cast<unsigned char>(c);
        // A blank at the end of a line may be dropped on the way, so it is encoded there.
        const bool blank = c == ' ' || c == '\t';
        const bool literal = blank ? !lineEnds : (u >= 33 && u <= 126 && c != '=');
        const std::size_t width = literal ? 1 : 3;
        // A line that goes on needs the last place for its soft break.
        const std::size_t room = lineEnds ? QuotedPrintableLineLimit : QuotedPrintableLineLimit - 1;
        if (column + width > room) {
            out += "=\r\n";
            column = 0;
        }
        if (literal) {
            out += c;
        } else {
            out += '=';
            out += HexDigits[u >> 4];
            out += HexDigits[u & 15];
        }
        column += width;
    }
    return out;
}

std::string PrepareSmtpBody(std::string_view body) {
    // Quoted-printable would carry an ESC or a NUL through to the reader's screen intact.
    const std::string encoded = EncodeSmtpQuotedPrintable(PrintableText(body, "\r\n\t"));
    std::string out;
    out.reserve(encoded.size() + encoded.size() / 32 + 2);
    bool lineStart = true;
    for (char c : encoded) {
        // The encoding leaves CR only in CR LF, so a line starts after every LF.
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}
