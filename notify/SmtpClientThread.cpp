#include "notify/SmtpClientThread.h"

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

SmtpResult CheckRecipients(const std::array<std::string, 3>& recipients) {
    bool any = false;
    for (const std::string& recipient : recipients) {
        if (HasLineBreak(recipient)) return SmtpBadRecipients;
        any = any || !recipient.empty();
    }
    return any ? SmtpOk : SmtpBadRecipients;
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
    SmtpResult result = Command(connection, SmtpCmdGreeting, {});
    if (result == SmtpOk) result = Command(connection, SmtpCmdHelo, helo);
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
    if (result == SmtpOk && !text.empty()) result = connection.Send(text);
    int code = -1;
    if (result == SmtpOk) result = connection.ReadReply(code);
    return result == SmtpOk ? ClassifySmtpReply(id, code) : result;
}
