#pragma once

#include <array>
#include <ctime>
#include <string>
#include <string_view>

// The message text that follows DATA: the header lines and the body in the form the wire
// needs. Kept apart from the dialogue so that it can be checked without a server.

struct SmtpMessageFields {
    std::string userName;                   // display name of the sender
    std::string sender;                     // sender mailbox
    std::array<std::string, 3> recipients;  // empty: no recipient in that place
    std::string subject;
    std::time_t date = 0;   // sending time; shown in local time with its offset
    std::string messageId;  // with its angle brackets
};

// The header, ending with the empty line. The subject's line breaks become blanks and its
// other controls "\xNN" (PrintableText). Lines in this order: FROM, TO, SUBJECT, Date,
// Message-ID, MIME-Version, Content-Type, Content-Transfer-Encoding (quoted-printable). A
// FROM or SUBJECT line with encoded-words is folded to stay within 76 characters.
std::string BuildSmtpHeader(const SmtpMessageFields& fields);

// The body's bytes in RFC 2045 quoted-printable: every CR, LF or CR LF of the body becomes
// a hard line break (CR LF); "=", bytes outside printable ASCII and a blank before a line
// break (or at the end) are encoded as "=XX"; an encoded line that would pass 76
// characters is cut by a soft line break ("=" at its end). The last line has no break.
std::string EncodeSmtpQuotedPrintable(std::string_view body);

// The body as it goes after DATA: controls other than line breaks and tabs as "\xNN"
// (PrintableText), quoted-printable, and every line that then begins with "." given one
// more (so that a line "." cannot end the message early).
std::string PrepareSmtpBody(std::string_view body);

// RFC 5322 date-time of `t` in local time: "Thu, 13 Feb 2025 14:05:09 +0100".
std::string FormatSmtpDate(std::time_t t);

// RFC 4648 base64 of `bytes`, with "=" padding and no line breaks.
std::string EncodeSmtpBase64(std::string_view bytes);

// A new Message-ID ("<unique@domain>") with the domain of the sender mailbox.
std::string MakeSmtpMessageId(std::string_view sender);

// Header text as it is when it is plain ASCII, else as RFC 2047 encoded-words (UTF-8,
// base64) of at most 64 characters each, separated by blanks; no word ends inside a UTF-8
// character.
std::string EncodeSmtpHeaderText(std::string_view text);

// A header line ("NAME: value", without its CR LF) folded before blanks so that no line
// passes 76 characters, as RFC 2047 asks of a line with encoded-words; never at the blank
// after the colon. For lines whose blanks all lie between words (encoded-words, atoms, the
// address): unfolding gives back the same line.
std::string FoldSmtpHeaderLine(std::string_view line);

// A display name for the FROM line: unchanged when plain, a quoted string when it holds
// characters that would otherwise be read as address syntax, and with its non-ASCII words
// as encoded-words.
std::string EncodeSmtpDisplayName(std::string_view name);

// The FROM value: display name and sender mailbox, "Name<mailbox>".
std::string FormatSmtpFrom(std::string_view userName, std::string_view sender);
