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

// The header, ending with the empty line. Lines in this order: FROM, TO, SUBJECT, Date,
// Message-ID, MIME-Version, Content-Type.
std::string BuildSmtpHeader(const SmtpMessageFields& fields);

// The body with CR LF line ends only and every line that begins with "." given one more
// (so that a line "." cannot end the message early).
std::string PrepareSmtpBody(std::string_view body);

// RFC 5322 date-time of `t` in local time: "Thu, 13 Feb 2025 14:05:09 +0100".
std::string FormatSmtpDate(std::time_t t);

// A new Message-ID ("<unique@domain>") with the domain of the sender mailbox.
std::string MakeSmtpMessageId(std::string_view sender);

// Header text as it is when it is plain ASCII, else as RFC 2047 encoded-words (UTF-8,
// base64), separated by folding so that every word stays within 75 characters.
std::string EncodeSmtpHeaderText(std::string_view text);

// A display name for the FROM line: unchanged when plain, a quoted string when it holds
// characters that would otherwise be read as address syntax, and with its non-ASCII words
// as encoded-words.
std::string EncodeSmtpDisplayName(std::string_view name);

// The FROM value: display name and sender mailbox, "Name<mailbox>".
std::string FormatSmtpFrom(std::string_view userName, std::string_view sender);
