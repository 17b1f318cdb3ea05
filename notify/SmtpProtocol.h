#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

// The outcome of a delivery or of a setter of CSmtpClient. The values are fixed: the main
// window logs and shows them by number, and the asynchronous result carries them in a message.
enum SmtpResult : std::uint8_t {
    SmtpBusy = 0,
    SmtpOk = 1,
    SmtpBadServer = 2,
    SmtpBadPort = 3,
    SmtpBadUserName = 4,
    SmtpBadSender = 5,
    SmtpBadRecipients = 6,
    SmtpMailboxUnavailable = 7,
    SmtpRecipient1Refused = 8,
    SmtpRecipient2Refused = 9,
    SmtpRecipient3Refused = 10,
    SmtpRecipients12Refused = 11,
    SmtpRecipients13Refused = 12,
    SmtpRecipients23Refused = 13,
    SmtpAllRecipientsRefused = 14,
    SmtpHostNotFound = 15,
    SmtpSocketError = 16,
    SmtpNoSocket = 17,
    SmtpNetworkDown = 18,
    SmtpConnectFailed = 19,
    SmtpReplyTimeout = 20,
    SmtpConnectionClosed = 21,
    SmtpUnexpectedReply = 22,
    SmtpSenderRejected = 23,
    SmtpBadCommand = 24,
    SmtpStopped = 25,
    // Encryption and sign-in. Every one of them ends the delivery before the message goes out:
    // nothing falls back to an unencrypted or anonymous delivery.
    SmtpStartTlsNotOffered = 26,   // STARTTLS was asked for; the server does not offer it
    SmtpTlsHandshakeFailed = 27,   // with the library's reason (FailureReason)
    SmtpCertificateRejected = 28,  // not trusted or not for the server's name, with the reason
    SmtpNoSignInMethod = 29,       // the server offers neither AUTH PLAIN nor AUTH LOGIN
    SmtpSignInRefused = 30,        // the server refused the user name or password
    SmtpSignInNotEncrypted = 31,   // sign-in was asked for on a connection without encryption
    SmtpBadSecurity = 32,          // a security value that names none of the modes below
};

// How the connection to the server is protected: not at all (the plain SMTP of old),
// upgraded with STARTTLS after the greeting, or TLS from the first byte.
enum class SmtpSecurity : int { None = 0, StartTls = 1, Tls = 2 };

// The usual port of each mode: 25, 587 and 465.
int SmtpDefaultPort(SmtpSecurity security);
// The port to propose when the user picks `security`: its usual port while `port` holds the
// usual port of a mode (the user has not chosen one of their own), else `port` unchanged.
std::string ProposeSmtpPort(const std::string& port, SmtpSecurity security);

// Set beside the outcome in the asynchronous result's wParam (and reported by
// CSmtpClient::MessageAccepted after a synchronous Send) when the server accepted the message
// itself, the reply to the final ".": the mail is delivered to every recipient the server
// took, whatever went wrong after that (a refused recipient among several, a failing QUIT).
constexpr std::uint32_t SmtpAcceptedFlag = 0x100;

// The enumerator's own name ("SmtpReplyTimeout"), for logs and test messages.
const char* SmtpResultName(SmtpResult result);

constexpr int SmtpConnectWaitMs = 5000;
constexpr int SmtpReplyWaitMs = 10000;
constexpr std::size_t SmtpReceiveBytes = 512;
constexpr std::size_t SmtpChunkBytes = 1000;
// A command line, its ending included, must be shorter than this (RFC 5321's line limit).
constexpr std::size_t SmtpCommandLimit = 512;

// The client's command table; the id is what BuildSmtpCommand and ClassifySmtpReply take.
enum SmtpCommand : int {
    SmtpCmdHelo = 0,
    SmtpCmdMailFrom = 1,
    SmtpCmdRcptTo = 2,
    SmtpCmdData = 3,
    SmtpCmdRset = 4,
    SmtpCmdSendFrom = 5,
    SmtpCmdSomlFrom = 6,
    SmtpCmdSamlFrom = 7,
    SmtpCmdVrfy = 8,
    SmtpCmdExpn = 9,
    SmtpCmdHelp = 10,
    SmtpCmdNoop = 11,
    SmtpCmdQuit = 12,
    SmtpCmdTurn = 13,
    SmtpCmdGreeting = 14,  // sends nothing, only reads the server's greeting
    SmtpCmdEndOfData = 15,
    SmtpCommandCount = 16,
};

// Builds the line that command `id` sends. SmtpBadCommand for an id outside the table or a
// line of SmtpCommandLimit characters or more; SmtpOk otherwise (the greeting's text is empty).
SmtpResult BuildSmtpCommand(int id, std::string_view argument, std::string& text);

// The outcome of reply `code` to command `id`: SmtpOk when the command accepts it or it is
// one of the codes that count as success anyway; the classified failure otherwise. A code
// below 0 stands for a reply that does not start with three digits.
SmtpResult ClassifySmtpReply(int id, int code);

// The outcome for a set of refused recipients: bit 0 recipient 1, bit 1 recipient 2, bit 2
// recipient 3. SmtpOk for the empty set.
SmtpResult RefusedRecipientsOutcome(unsigned refused);

// Maps an errno value of a socket call. ENETDOWN and ENETUNREACH mean the network is down,
// EISCONN means the socket is connected already (success).
SmtpResult MapSocketError(int err);

// `text` without the blanks (spaces and tabs) at either end: a mailbox or a port copied from
// somewhere often brings one along, and no server takes it inside the angle brackets.
std::string_view TrimSmtpBlanks(std::string_view text);

// The port text as the e-mail page's check and the client both read it: a decimal integer,
// optionally signed, with the blanks around it ignored (" 25" is 25). nullopt when the text
// is not such an integer or does not fit in an int. The range is for the caller to judge.
std::optional<int> ReadSmtpPortText(std::string_view text);

// The port of `text` when it is one the client can use (1..65535), else 0.
int SmtpPortNumber(std::string_view text);

// True for a host name a strict server takes as the HELO argument: dot-separated labels of
// 1 to 63 letters, digits and hyphens, none starting or ending with a hyphen, at most 253
// characters in all, and a last label that is not all digits (that would read as an address).
bool IsValidSmtpDomainName(std::string_view name);

// The address literal of `address` for a HELO argument: "[192.0.2.1]", "[IPv6:2001:db8::1]"
// (an IPv4-mapped IPv6 address as its IPv4 form); empty for any other family.
std::string FormatSmtpAddressLiteral(const sockaddr* address);

// The HELO argument: the machine's host name when it is a valid domain name, else the
// address literal of the connection's own end.
std::string ChooseSmtpHeloName(std::string_view hostName, std::string_view addressLiteral);

// The machine's host name as the system gives it (gethostname); empty when it cannot.
std::string SmtpLocalHostName();

// Collects the bytes of the server's replies and picks whole replies out of them. A reply
// may span several lines ("250-..." continuation lines before the final "250 ...") and may
// arrive in any number of pieces; bytes after a reply's final line stay for the next one.
class CSmtpReplyReader {
public:
    // Guards against a server that sends continuation lines without end.
    static constexpr std::size_t MaxReplyBytes = 64 * 1024;

    void Add(const char* data, std::size_t size) { pending_.append(data, size); }
    // Takes the next whole reply if its final line has arrived: sets `code` to the final
    // line's three-digit code, or -1 when that line does not start with three digits. With
    // `lines`, gives the text of each of the reply's lines after its code and separator.
    bool TakeReply(int& code, std::vector<std::string>* lines = nullptr);
    bool Empty() const { return pending_.empty(); }
    // Forgets what has come and not been taken: bytes that arrived before an upgrade to TLS
    // must never be read as if they had come through it.
    void Clear() {
        pending_.clear();
        replyBytes_ = 0;
        lines_.clear();
    }

private:
    std::string pending_;
    std::vector<std::string> lines_;  // the current reply's lines so far
    std::size_t replyBytes_ = 0;      // continuation bytes already taken for the current reply
};
