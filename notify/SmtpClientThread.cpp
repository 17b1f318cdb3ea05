#include "notify/SmtpClientThread.h"

#include <cctype>
#include <climits>
#include <ctime>

#include "notify/SmtpMessage.h"
#include "platform/MessageTarget.h"
#include "platform/ThreadName.h"
#include "platform/Wait.h"

namespace {

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool IsTextWithin(std::string_view text, std::size_t maxChars) {
    return !text.empty() && text.size() <= maxChars && !HasLineBreak(text);
}

SmtpResult CheckServer(const std::string& server, const std::string& port) {
    if (!IsTextWithin(server, CSmtpClient::MaxServerChars)) return SmtpBadServer;
    return SmtpPortNumber(port) != 0 ? SmtpOk : SmtpBadPort;
}

SmtpResult CheckSender(const std::string& sender, const std::string& userName) {
    if (!IsTextWithin(sender, CSmtpClient::MaxSenderChars)) return SmtpBadSender;
    return IsTextWithin(userName, CSmtpClient::MaxUserNameChars) ? SmtpOk : SmtpBadUserName;
}

bool IsKnownSecurity(SmtpSecurity security) {
    return security == SmtpSecurity::None || security == SmtpSecurity::StartTls ||
           security == SmtpSecurity::Tls;
}

SmtpResult CheckRecipients(const std::array<std::string, 3>& recipients) {
    bool any = false;
    for (const std::string& recipient : recipients) {
        if (HasLineBreak(recipient)) return SmtpBadRecipients;
        any = any || !recipient.empty();
    }
    return any ? SmtpOk : SmtpBadRecipients;
}

// A sign-in text is sent inside one line (AUTH LOGIN) or between NULs (AUTH PLAIN).
bool FitsSignIn(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::vector<std::string> UpperWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '=') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

// Whether the EHLO reply names the extension `keyword`, and, with `parameter`, lists it
// after the keyword (a sign-in mechanism after AUTH; old servers write "AUTH=LOGIN"). The
// first line is the server's greeting, not an extension.
bool Offers(const std::vector<std::string>& extensions, std::string_view keyword,
            std::string_view parameter = {}) {
    for (std::size_t i = 1; i < extensions.size(); ++i) {
        const std::vector<std::string> words = UpperWords(extensions[i]);
        if (words.empty() || words[0] != keyword) continue;
        if (parameter.empty()) return true;
        for (std::size_t w = 1; w < words.size(); ++w) {
            if (words[w] == parameter) return true;
        }
    }
    return false;
}

// A reply as a reason: its code and the text of its last line.
std::string ReplyReason(int code, const std::vector<std::string>& lines) {
    std::string text = std::to_string(code);
    if (!lines.empty() && !lines.back().empty()) text += " " + lines.back();
    return text;
}

// Outcomes of RCPT TO that mean the server (or the command's length) refused this one
// recipient; any other failure ends the dialogue, which could not go on in step.
bool IsRecipientRefusal(SmtpResult result) {
    switch (result) {
        case SmtpBadRecipients:
        case SmtpMailboxUnavailable:
        case SmtpSenderRejected:
        case SmtpUnexpectedReply:
        case SmtpBadCommand:
            return true;
        default:
            return false;
    }
}

}  // namespace

// Holds the busy counter at 1 for as long as a setter writes or a delivery runs; setters,
// Send and the delivery all take it, so the stored texts never change under a delivery.
class CSmtpClient::BusyClaim {
public:
    explicit BusyClaim(std::atomic<int>& busy) : busy_(busy) {
        int idle = 0;
        held_ = busy_.compare_exchange_strong(idle, 1, std::memory_order_acq_rel);
    }
    ~BusyClaim() {
        if (held_) busy_.fetch_sub(1, std::memory_order_acq_rel);
    }
    BusyClaim(const BusyClaim&) = delete;
    BusyClaim& operator=(const BusyClaim&) = delete;
    bool Held() const { return held_; }
    // Hands the claim on to the delivery, which releases it when it ends.
    void Keep() { held_ = false; }

private:
    std::atomic<int>& busy_;
    bool held_;
};

CSmtpClient::CSmtpClient(std::uint32_t messageId, IMessageTarget* window, std::uint32_t jobId)
    : messageId_(messageId), window_(window), jobId_(jobId) {
    startFailed_ = !sendEvent_.IsValid() || !stopEvent_.IsValid() || !abortEvent_.IsValid();
    thread_ = std::thread(&CSmtpClient::Execute, this);
}

CSmtpClient::~CSmtpClient() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

void CSmtpClient::Stop() {
    terminated_.store(true, std::memory_order_release);
    stopEvent_.Set();
    abortEvent_.Set();
}

void CSmtpClient::Notify(SmtpResult result, bool accepted) {
    if (!window_ || messageId_ == 0 || messageId_ > static_cast<std::uint32_t>(INT32_MAX)) return;
    // The outcome byte, sign-extended to 16 bits, in the low half of wParam; the outcome
    // bytes are all below 0x80, so the flag's bit is free beside it.
    const auto low = static_cast<std::uint16_t>(static_cast<std::int8_t>(result));
    window_->Post(messageId_, low | (accepted ? SmtpAcceptedFlag : 0u), jobId_);
}

SmtpResult CSmtpClient::SetServer(const std::string& server, const std::string& port) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    const SmtpResult result = CheckServer(server, port);
    if (result == SmtpOk) {
        server_ = server;
        port_ = port;
    }
    return result;
}

SmtpResult CSmtpClient::SetSender(const std::string& sender, const std::string& userName) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    const std::string mailbox(TrimSmtpBlanks(sender));
    const SmtpResult result = CheckSender(mailbox, userName);
    if (result == SmtpOk) {
        sender_ = mailbox;
        userName_ = userName;
    }
    return result;
}

SmtpResult CSmtpClient::SetRecipients(const std::string& recipient1, const std::string& recipient2,
                                      const std::string& recipient3) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    const std::array<std::string, 3> recipients{std::string(TrimSmtpBlanks(recipient1)),
                                                std::string(TrimSmtpBlanks(recipient2)),
                                                std::string(TrimSmtpBlanks(recipient3))};
    const SmtpResult result = CheckRecipients(recipients);
    if (result == SmtpOk) recipients_ = recipients;
    return result;
}

SmtpResult CSmtpClient::SetSubject(const std::string& subject) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    subject_ = subject;
    return SmtpOk;
}

SmtpResult CSmtpClient::SetBody(const std::string& body) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    body_ = body;
    return SmtpOk;
}

SmtpResult CSmtpClient::SetSecurity(SmtpSecurity security, const std::string& caFile) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    // Kept even when refused: a caller that goes on to Send must not deliver with a mode
    // set earlier, less protected than the one it meant to ask for.
    security_ = security;
    caFile_ = caFile;
    return IsKnownSecurity(security) ? SmtpOk : SmtpBadSecurity;
}

SmtpResult CSmtpClient::SetSignIn(const std::string& user, std::string_view password) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    if (!FitsSignIn(user) || !FitsSignIn(password)) return SmtpBadUserName;
    signInUser_ = user;
    password_.Assign(user.empty() ? std::string_view() : password);
    return SmtpOk;
}

std::string CSmtpClient::FailureReason() const {
    std::lock_guard lock(reasonMutex_);
    return failureReason_;
}

void CSmtpClient::SetFailureReason(std::string reason) {
    std::lock_guard lock(reasonMutex_);
    failureReason_ = std::move(reason);
}

SmtpResult CSmtpClient::SetSendObserver(CSmtpConnection::SendObserver observer) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    sendObserver_ = std::move(observer);
    return SmtpOk;
}

SmtpResult CSmtpClient::SetHostNameSource(HostNameSource source) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    hostNameSource_ = std::move(source);
    return SmtpOk;
}

SmtpResult CSmtpClient::Validate() const {
    SmtpResult result = CheckServer(server_, port_);
    if (result == SmtpOk) result = CheckSender(sender_, userName_);
    if (result == SmtpOk) result = CheckRecipients(recipients_);
    if (result == SmtpOk && !IsKnownSecurity(security_)) result = SmtpBadSecurity;
    // A password never goes over a connection that anyone on the way can read.
    if (result == SmtpOk && !signInUser_.empty() && security_ == SmtpSecurity::None) {
        result = SmtpSignInNotEncrypted;
    }
    return result;
}

SmtpResult CSmtpClient::Send(bool synchronous) {
    BusyClaim claim(busy_);
    if (!claim.Held()) return SmtpBusy;
    messageAccepted_.store(false, std::memory_order_release);
    const SmtpResult valid = Validate();
    if (valid != SmtpOk) return valid;
    if (startFailed_ || Terminated() || ended_.load(std::memory_order_acquire)) return SmtpStopped;
    claim.Keep();
    if (synchronous) {
        try {
            bool accepted = false;
            return Deliver(accepted);
        } catch (...) {
            return SmtpSocketError;  // Deliver has released the busy counter on its way out
        }
    }
    sendEvent_.Set();
    // The thread may have ended between the check above and the signal; then nobody would
    // ever release the busy counter. Whoever takes the signal back releases it.
    if (ended_.load(std::memory_order_acquire) && sendEvent_.TryConsume()) {
        busy_.fetch_sub(1, std::memory_order_acq_rel);
        return SmtpStopped;
    }
    return SmtpOk;
}

void CSmtpClient::Execute() {
    SetCurrentThreadName("SMTP Client");
    try {
        while (!startFailed_ && !Terminated()) {
            const WaitResult wait =
                WaitForAny({WaitItem::Of(stopEvent_), WaitItem::Of(sendEvent_)}, -1);
            if (wait.index != 1) break;
            // Run even when a stop came meanwhile: the delivery then ends at once, releases
            // the busy counter and reports SmtpStopped for the job.
            bool accepted = false;
            const SmtpResult result = Deliver(accepted);
            Notify(result, accepted);
        }
    } catch (...) {
        // Leaves the loop; the owner learns of it from the SmtpStopped below.
    }
    ended_.store(true, std::memory_order_release);
    if (sendEvent_.TryConsume()) busy_.fetch_sub(1, std::memory_order_acq_rel);
    Notify(SmtpStopped, false);
}

SmtpResult CSmtpClient::Deliver(bool& accepted) {
    struct Release {
        std::atomic<int>& busy;
        ~Release() { busy.fetch_sub(1, std::memory_order_acq_rel); }
    } release{busy_};
    accepted = false;
    if (Terminated()) return SmtpStopped;  // before a name look-up that may take long
    refused_ = 0;
    accepted_ = false;
    SetFailureReason({});
    CSmtpConnection connection(abortEvent_, terminated_, &sendObserver_);
    SmtpResult result = connection.Open(server_, std::to_string(SmtpPortNumber(port_)));
    if (result == SmtpOk) result = Dialogue(connection);
    connection.Close();
    // Published before the busy counter is released, so that the next Send sees it settled.
    accepted = accepted_;
    messageAccepted_.store(accepted_, std::memory_order_release);
    return result;
}

SmtpResult CSmtpClient::Dialogue(CSmtpConnection& connection) {
    // Strict servers refuse a HELO argument that is not a domain name or an address literal
    // (the user's name was sent here once, and Exim and Postfix turned it away).
    const std::string hostName = hostNameSource_ ? hostNameSource_() : SmtpLocalHostName();
    const std::string helo = ChooseSmtpHeloName(hostName, connection.LocalAddressLiteral());
    SmtpResult result = security_ == SmtpSecurity::Tls ? UpgradeToTls(connection) : SmtpOk;
    if (result == SmtpOk) result = Command(connection, SmtpCmdGreeting, {});
    if (result == SmtpOk) result = Greet(connection, helo);
    if (result == SmtpOk) result = Command(connection, SmtpCmdRset, {});
    if (result == SmtpOk) result = Command(connection, SmtpCmdMailFrom, sender_);
    if (result == SmtpOk) result = OfferRecipients(connection);
    if (result == SmtpOk) result = Command(connection, SmtpCmdData, {});
    if (result == SmtpOk) result = TransferMessage(connection);
    if (result == SmtpOk) result = Command(connection, SmtpCmdEndOfData, {});
    // From here on the mail is delivered: what fails later must not make anyone send it again.
    accepted_ = result == SmtpOk;
    if (result == SmtpOk) result = Command(connection, SmtpCmdQuit, {});
    // The mail went to the accepted recipients; the outcome still names the refused ones.
    return result == SmtpOk ? RefusedRecipientsOutcome(refused_) : result;
}

SmtpResult CSmtpClient::OfferRecipients(CSmtpConnection& connection) {
    int left = 0;
    for (const std::string& recipient : recipients_) left += recipient.empty() ? 0 : 1;
    for (std::size_t i = 0; i < recipients_.size(); ++i) {
        if (recipients_[i].empty()) continue;
        const SmtpResult result = Command(connection, SmtpCmdRcptTo, recipients_[i]);
        if (result == SmtpOk) continue;
        if (!IsRecipientRefusal(result)) return result;
        refused_ |= 1u << i;
        if (--left == 0) return RefusedRecipientsOutcome(refused_);
    }
    return SmtpOk;
}

SmtpResult CSmtpClient::TransferMessage(CSmtpConnection& connection) {
    SmtpMessageFields fields;
    fields.userName = userName_;
    fields.sender = sender_;
    fields.recipients = recipients_;
    fields.subject = subject_;
    fields.date = std::time(nullptr);
    fields.messageId = MakeSmtpMessageId(sender_);
    const SmtpResult result = connection.SendChunked(BuildSmtpHeader(fields));
    return result == SmtpOk ? connection.SendChunked(PrepareSmtpBody(body_)) : result;
}

SmtpResult CSmtpClient::Command(CSmtpConnection& connection, int id, std::string_view argument) {
    if (Terminated()) return SmtpStopped;
    std::string text;
    SmtpResult result = BuildSmtpCommand(id, argument, text);
    int code = -1;
    if (result == SmtpOk) result = Exchange(connection, text, code);
    return result == SmtpOk ? ClassifySmtpReply(id, code) : result;
}

SmtpResult CSmtpClient::Exchange(CSmtpConnection& connection, std::string_view line, int& code,
                                 std::vector<std::string>* lines) {
    if (Terminated()) return SmtpStopped;
    code = -1;
    SmtpResult result = line.empty() ? SmtpOk : connection.Send(line);
    if (result == SmtpOk) result = connection.ReadReply(code, lines);
    return result;
}

SmtpResult CSmtpClient::Greet(CSmtpConnection& connection, const std::string& helo) {
    // The plain, anonymous delivery speaks as it always has; STARTTLS and sign-in need the
    // extensions that only the answer to EHLO tells.
    if (security_ != SmtpSecurity::StartTls && signInUser_.empty()) {
        return Command(connection, SmtpCmdHelo, helo);
    }
    std::vector<std::string> extensions;
    SmtpResult result = Ehlo(connection, helo, extensions);
    if (result == SmtpOk && security_ == SmtpSecurity::StartTls) {
        if (!Offers(extensions, "STARTTLS")) return SmtpStartTlsNotOffered;
        int code = -1;
        std::vector<std::string> lines;
        result = Exchange(connection, "STARTTLS\r\n", code, &lines);
        if (result == SmtpOk && code != 220) {
            SetFailureReason("the server refused STARTTLS: " + ReplyReason(code, lines));
            return SmtpTlsHandshakeFailed;
        }
        if (result == SmtpOk) result = UpgradeToTls(connection);
        // What the server offers may change once the connection is encrypted (sign-in often
        // appears only then), and what it said before counts no more.
        if (result == SmtpOk) result = Ehlo(connection, helo, extensions);
    }
    if (result == SmtpOk && !signInUser_.empty()) result = SignIn(connection, extensions);
    return result;
}

SmtpResult CSmtpClient::Ehlo(CSmtpConnection& connection, const std::string& helo,
                             std::vector<std::string>& extensions) {
    int code = -1;
    const SmtpResult result = Exchange(connection, "EHLO " + helo + "\r\n", code, &extensions);
    if (result != SmtpOk || code == 250) return result;
    if (code >= 500 && code <= 599) {
        // A server without the extended protocol has neither STARTTLS nor sign-in.
        SetFailureReason("the server does not take EHLO: " + ReplyReason(code, extensions));
        return security_ == SmtpSecurity::StartTls && !connection.Encrypted()
                   ? SmtpStartTlsNotOffered
                   : SmtpNoSignInMethod;
    }
    return ClassifySmtpReply(SmtpCmdHelo, code);
}

SmtpResult CSmtpClient::UpgradeToTls(CSmtpConnection& connection) {
    std::string reason;
    const SmtpResult result = connection.StartTls(server_, caFile_, reason);
    if (result != SmtpOk) SetFailureReason(std::move(reason));
    return result;
}

SmtpResult CSmtpClient::SignIn(CSmtpConnection& connection,
                               const std::vector<std::string>& extensions) {
    // Whatever the settings and the dialogue so far say: a password goes only through TLS.
    if (!connection.Encrypted()) return SmtpSignInNotEncrypted;
    const std::string_view password = password_.View();
    if (Offers(extensions, "AUTH", "PLAIN")) {
        std::string credentials;
        credentials.reserve(signInUser_.size() + password.size() + 2);
        credentials.append(1, '\0').append(signInUser_).append(1, '\0').append(password);
        std::string line = "AUTH PLAIN " + EncodeSmtpBase64(credentials) + "\r\n";
        WipeString(credentials);
        return SignInStep(connection, std::move(line), 235);
    }
    if (Offers(extensions, "AUTH", "LOGIN")) {
        SmtpResult result = SignInStep(connection, "AUTH LOGIN\r\n", 334);
        if (result == SmtpOk) {
            result = SignInStep(connection, EncodeSmtpBase64(signInUser_) + "\r\n", 334);
        }
        if (result == SmtpOk) {
            result = SignInStep(connection, EncodeSmtpBase64(password) + "\r\n", 235);
        }
        return result;
    }
    return SmtpNoSignInMethod;
}

SmtpResult CSmtpClient::SignInStep(CSmtpConnection& connection, std::string line, int expected) {
    int code = -1;
    std::vector<std::string> lines;
    const SmtpResult result = Exchange(connection, line, code, &lines);
    WipeString(line);
    if (result != SmtpOk || code == expected) return result;
    if (code < 0) return SmtpUnexpectedReply;
    // The reply's own words say why (a wrong password, a locked account, a time-out); they
    // never repeat what was sent.
    SetFailureReason(ReplyReason(code, lines));
    return SmtpSignInRefused;
}
