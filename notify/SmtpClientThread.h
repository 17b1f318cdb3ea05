#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "notify/SmtpConnection.h"
#include "notify/SmtpProtocol.h"
#include "notify/SmtpSecret.h"
#include "platform/Event.h"

class IMessageTarget;

// The program's own SMTP client: delivers one plain-text mail at a time to one server, for
// up to three recipients. By default with the basic command set (HELO, no sign-in, no
// encryption); on request through TLS (STARTTLS or from the first byte) and signed in with
// AUTH PLAIN or LOGIN, never sending a password in the clear. A delivery runs either on the
// caller's thread (Send(true) returns the outcome) or on the client's own thread (Send(false)
// returns at once; the outcome arrives as message `messageId` with the outcome in wParam and the
// job id in lParam). Beside the outcome, wParam carries SmtpAcceptedFlag when the server accepted
// the message itself.
class CSmtpClient {
public:
    static constexpr int ConnectWaitMs = SmtpConnectWaitMs;
    static constexpr int ReplyWaitMs = SmtpReplyWaitMs;
    static constexpr std::size_t MaxServerChars = 256;
    static constexpr std::size_t MaxSenderChars = 256;
    static constexpr std::size_t MaxUserNameChars = 64;

    // Starts the client's thread at once. window may be null, and a messageId of 0 (or one
    // that is not positive as a signed 32-bit value) means: post nothing.
    CSmtpClient(std::uint32_t messageId, IMessageTarget* window, std::uint32_t jobId);
    ~CSmtpClient();  // stops the thread and waits for its end
    CSmtpClient(const CSmtpClient&) = delete;
    CSmtpClient& operator=(const CSmtpClient&) = delete;

    // Gives the machine's host name for the HELO argument.
    using HostNameSource = std::function<std::string()>;

    // Each setter returns SmtpBusy during a delivery, its failure code for a text it
    // refuses, else SmtpOk; it stores only on SmtpOk. A CR or LF is refused everywhere it
    // would reach a command line. Blanks around the sender and recipient addresses are
    // dropped before they are checked and stored; a port is read by ReadSmtpPortText.
    SmtpResult SetServer(const std::string& server, const std::string& port);
    SmtpResult SetSender(const std::string& sender, const std::string& userName);
    SmtpResult SetRecipients(const std::string& recipient1, const std::string& recipient2,
                             const std::string& recipient3);
    SmtpResult SetSubject(const std::string& subject);
    SmtpResult SetBody(const std::string& body);
    // How the connection is protected, and a file of more certificate authorities to trust
    // (PEM; empty: the system's store only). Plain SMTP by default. SmtpBadSecurity for a
    // value that is none of the three modes; unlike the other setters it stores that value,
    // so that Send refuses with SmtpBadSecurity until a valid mode is set.
    SmtpResult SetSecurity(SmtpSecurity security, const std::string& caFile = {});
    // Signs in as `user` before the message is offered; an empty user means no sign-in.
    // SmtpBadUserName for a user or password holding a line break or a NUL, which no
    // sign-in command can carry. Sign-in needs a security mode other than None: Send
    // refuses the pair with SmtpSignInNotEncrypted, and the delivery signs in only once its
    // connection is encrypted.
    SmtpResult SetSignIn(const std::string& user, std::string_view password);

    // Checks the stored texts (server, port, sender, user name, recipients: the first
    // failure is returned), the security mode and sign-in, then delivers. SmtpStopped once the
    // client has been stopped.
    SmtpResult Send(bool synchronous);
    // After a synchronous Send: whether the server accepted the message (the reply to the
    // final "."), so that it reached every recipient the server took, whatever the outcome
    // says about a refused recipient or a failing QUIT. False after a Send that delivered
    // nothing; a Send refused as SmtpBusy leaves it as the running delivery sets it.
    bool MessageAccepted() const { return messageAccepted_.load(std::memory_order_acquire); }
    // What the last delivery said about a TLS or sign-in failure: OpenSSL's reason, the
    // certificate check's verdict, or the server's reply; empty after other outcomes. Never
    // holds the password.
    std::string FailureReason() const;
    // Wakes every wait of the client at once; a delivery in progress ends with SmtpStopped.
    void Stop();

    // Sees the length of every piece the client hands to its socket (on the delivering
    // thread), so that a test can check how the message is cut. SmtpBusy during a delivery.
    SmtpResult SetSendObserver(CSmtpConnection::SendObserver observer);
    // Replaces the look-up of the machine's host name (gethostname), so that a test can
    // give both a valid name and one that must not be used. SmtpBusy during a delivery.
    SmtpResult SetHostNameSource(HostNameSource source);

private:
    class BusyClaim;

    void Execute();
    void Notify(SmtpResult result, bool accepted);
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    SmtpResult Validate() const;
    SmtpResult Deliver(bool& accepted);
    SmtpResult Dialogue(CSmtpConnection& connection);
    SmtpResult OfferRecipients(CSmtpConnection& connection);
    SmtpResult TransferMessage(CSmtpConnection& connection);
    SmtpResult Command(CSmtpConnection& connection, int id, std::string_view argument);
    // Sends `line` (nothing when empty) and reads the reply: its code, and its lines.
    SmtpResult Exchange(CSmtpConnection& connection, std::string_view line, int& code,
                        std::vector<std::string>* lines = nullptr);
    SmtpResult Greet(CSmtpConnection& connection, const std::string& helo);
    SmtpResult Ehlo(CSmtpConnection& connection, const std::string& helo,
                    std::vector<std::string>& extensions);
    SmtpResult UpgradeToTls(CSmtpConnection& connection);
    SmtpResult SignIn(CSmtpConnection& connection, const std::vector<std::string>& extensions);
    // Sends one step of a sign-in and reads the reply; the step's line is wiped afterwards.
    SmtpResult SignInStep(CSmtpConnection& connection, std::string line, int expected);
    void SetFailureReason(std::string reason);

    const std::uint32_t messageId_;
    IMessageTarget* const window_;
    const std::uint32_t jobId_;

    // Written by the setters, read by the delivery; the busy counter keeps them apart.
    std::string server_;
    std::string port_;
    std::string sender_;
    std::string userName_;
    std::array<std::string, 3> recipients_;
    std::string subject_;
    std::string body_;
    SmtpSecurity security_ = SmtpSecurity::None;
    std::string caFile_;
    std::string signInUser_;
    CSmtpSecret password_;
    CSmtpConnection::SendObserver sendObserver_;
    HostNameSource hostNameSource_;
    std::atomic<int> busy_{0};

    unsigned refused_ = 0;   // bit 0 recipient 1 ... bit 2 recipient 3; the delivery's own
    bool accepted_ = false;  // the server took the message; the delivery's own
    std::atomic<bool> messageAccepted_{false};  // accepted_ of the last delivery
    mutable std::mutex reasonMutex_;
    std::string failureReason_;  // of the last delivery, under reasonMutex_

    CEvent sendEvent_;
    CEvent stopEvent_;   // consumed by the thread's idle wait
    CEvent abortEvent_;  // never consumed: every wait of a delivery peeks at it
    std::atomic<bool> terminated_{false};
    std::atomic<bool> ended_{false};
    bool startFailed_ = false;

    std::thread thread_;
};
