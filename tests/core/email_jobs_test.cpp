// E-mail deliveries as jobs on the clients' own threads: the monitor goes on while a server
// keeps a delivery waiting, each alert's result marks the faults it reported when it
// arrives, and the test e-mail's outcome is shown when it is in. The mail servers are
// scripted peers on loopback addresses of this test's own network 127.0.31.x.
#include <poll.h>
#include <signal.h>

#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "CoreFixture.h"
#include "comms/Mymessages.h"
#include "platform/SignalBridge.h"
#include "support/EmailOutcomeCases.h"
#include "support/ScriptedSmtpPeer.h"
#include "support/SmtpTestDialogue.h"

namespace {

using P = ScriptedSmtpPeer;

// A mail server that takes every connection and never says a word. It holds what it took
// until it goes, and stops taking more after a few.
class SilentServer {
public:
    static constexpr int MaxConnections = 8;

    explicit SilentServer(const std::string& address) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        socklen_t size = sizeof sa;
        if (listener_ < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
            bind(listener_, Addr(sa), sizeof sa) != 0 || listen(listener_, MaxConnections) != 0 ||
            getsockname(listener_, Addr(sa), &size) != 0) {
            return;
        }
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] {
            std::vector<int> taken;
            while (!stop_ && taken.size() < MaxConnections) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                taken.push_back(fd);
                ++accepted_;
            }
            while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (const int fd : taken) close(fd);
        });
    }
    ~SilentServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool Listening() const { return port_ != 0; }
    std::string PortText() const { return std::to_string(port_); }
    int Accepted() const { return accepted_; }

private:
    static sockaddr* Addr(sockaddr_in& sa) { return reinterpret_cast<sockaddr*>(&sa); }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A whole dialogue for the given recipient tokens, the greeting held back for delayMs.
P::Script Dialogue(const std::string& recipients, int delayMs, smtptest::Replies replies = {}) {
    P::Script script =
        smtptest::BuildScript(replies, "HELO RSET MAIL " + recipients + " DATA MSG QUIT");
    script.front().ms = delayMs;
    // The monitor's clients greet with this machine's own name (the peer is on loopback).
    script[1] = P::Expect("HELO " + ChooseSmtpHeloName(SmtpLocalHostName(), "[127.0.0.1]"));
    return script;
}

std::uint32_t Bit(int counter) {
    return std::uint32_t{1} << counter;
}

class EmailJobsTest : public CoreFixture {
protected:
    EmailJobsTest() : CoreFixture(31) {}

    void SetUp() override {
        CoreFixture::SetUp();
        StartCore({"alerts"});
        // After the start-up poll, so that no other poll comes unless a test asks for it.
        ASSERT_TRUE(WaitUntil([this] { return core_->PollTimer->isActive(); }));
        core_->EmailSettings.Enabled = true;
        core_->NotifiableEvents.FanErr = true;
    }

    // The mail server at `port` of the test's SMTP address, and `recipients` of the three.
    void Mail(const std::string& port, int recipients = 1) {
        core_->EmailSettings.server = SmtpAddress();
        core_->EmailSettings.port = port;
        core_->EmailSettings.userName = smtptest::User;
        core_->EmailSettings.sender = smtptest::Sender;
        for (int i = 0; i < 3; ++i) {
            core_->EmailSettings.recipient[i] = i < recipients ? smtptest::Recipients[i] : "";
        }
    }
    std::string SmtpAddress() const { return Address(1); }

    // A registered device without a connection: the test hands it its statuses.
    std::uint16_t Register(const std::string& name, int host) {
        DeviceContext c = Ctx(name, Address(host), false);
        c.ModelCode = 3;
        c.Serial = "10203040";
        const int id = core_->AddDevice(&c);
        EXPECT_GT(id, 0) << name;
        return static_cast<std::uint16_t>(id);
    }
    void Reply(std::uint16_t id, const DeviceStatus& s) {
        core_->ApplyStatus(id, s, "10203040", 3);
    }
    CMonitorCore::Device& Dev(std::uint16_t id) { return *core_->FindDeviceById(id); }
};

DeviceStatus FanFault() {
    DeviceStatus s = HealthyStatus();
    s.FanOk[1] = 0;
    return s;
}

DeviceStatus FanAndChannelFault() {
    DeviceStatus s = FanFault();
    s.ChannelOk[4] = 0;
    return s;
}

// ---------------------------------------------------------------- the test e-mail

TEST_F(EmailJobsTest, TestEmailIsBusyUntilTheOutcomeWhichIsThenShown) {
    const struct {
        const char* name;
        P::Script script;
        std::string dialog;
        std::uint32_t logged;
    } cases[] = {
        {"accepted", Dialogue("R1", 500), "Your e-mail has been sent.", EV_EMAIL_SENT},
        {"greeting refused",
         {P::Reply("554 not here", 500)},
         "The e-mail server could not send your e-mail.\r\nCheck the IP address of the SMTP "
         "server, then try again.",
         EV_EMAIL_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpPeer peer(SmtpAddress());
        ASSERT_TRUE(peer.Listening());
        peer.Serve(c.script);
        Mail(peer.PortText());
        const std::size_t loggedBefore = EventsWithId(c.logged).size();

        ASSERT_TRUE(SendTestEmail());
        EXPECT_TRUE(testEmailBusy_);
        EXPECT_TRUE(core_->TestEmailInFlight());
        EXPECT_TRUE(TakeShownOutcomes().empty());
        EXPECT_EQ(core_->EmailJobs().size(), 1u);

        const auto shown = WaitShownOutcomes(5000);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].Dialog(), c.dialog);
        EXPECT_FALSE(testEmailBusy_);
        EXPECT_FALSE(core_->TestEmailInFlight());
        EXPECT_TRUE(core_->EmailJobs().empty());
        EXPECT_EQ(EventsWithId(c.logged).size(), loggedBefore + 1);
        EXPECT_TRUE(peer.WaitFinished(std::chrono::seconds(5)));
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    }
}

// ---------------------------------------------------------------- a server that never answers

// The alert of a simulated amplifier goes to a server that accepts and never answers: the
// monitor goes on handling the amplifier's statuses, a new fault gets its own alert, the
// standing one no second, and a termination signal ends the program at once.
TEST_F(EmailJobsTest, ServerThatNeverAnswersHoldsUpNeitherTheMonitorNorTheEnd) {
    SilentServer server(SmtpAddress());
    ASSERT_TRUE(server.Listening());
    Mail(server.PortText());
    const int sim = QuietSim(2, "1020");
    Site().SetChannelFault(sim, 2, devsim::ChannelFault::Fan, true);
    DeviceContext c = Ctx("Stage", Address(2), true);
    const auto id = static_cast<std::uint16_t>(core_->AddDevice(&c));
    ASSERT_GT(id, 0);
    // Statuses come with the polls.
    ASSERT_TRUE(WaitUntil([&] { return Dev(id).ConnState == Connected; }, 5000));
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 1; }, 5000));

    // A new fault while that alert waits: the status is handled at once and mailed apart.
    QElapsedTimer handled;
    handled.start();
    Site().SetChannelFault(sim, 5, devsim::ChannelFault::Channel, true);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Dev(id).Status.ChannelOk[4] == 0; }, 3000));
    EXPECT_LT(handled.elapsed(), 2000);
    EXPECT_EQ(Cell(0, 4), "Channel Failure, Fan Failure");
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 2; }, 3000));

    // The same faults again: counted as standing, no third mail, nothing marked yet.
    const int queries = Site().Snapshot(sim).statusQueries;
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Site().Snapshot(sim).statusQueries > queries; }, 3000));
    Pump(300);
    EXPECT_EQ(server.Accepted(), 2);
    EXPECT_EQ(core_->EmailJobs().size(), 2u);
    EXPECT_EQ(Dev(id).Notified, DeviceStatus{});

    // SIGTERM, as the program entry wires it, while both deliveries still wait.
    bool ending = false;
    {
        CSignalBridge bridge([&](int) {
            ending = true;
            core_->EndProgram();
        });
        ASSERT_TRUE(bridge.Installed());
        QElapsedTimer signalled;
        signalled.start();
        raise(SIGTERM);
        ASSERT_TRUE(WaitUntil([&] { return ending; }, 2000));
        EXPECT_LT(signalled.elapsed(), 1000);
    }
    QElapsedTimer shutdown;
    shutdown.start();
    StopCore();
    EXPECT_LT(shutdown.elapsed(), 2000);
}

// ---------------------------------------------------------------- late results

// Results that come seconds later: each fault is mailed once, a new fault during the wait
// has its own mail, and the marks come with the results.
TEST_F(EmailJobsTest, AlertsAreSentOncePerFaultWhenResultsArriveLate) {
    ScriptedSmtpPeer peer(SmtpAddress());
    ASSERT_TRUE(peer.Listening());
    // A third dialogue stands ready for a mail that must not come.
    peer.Serve({Dialogue("R1", 1000), Dialogue("R1", 1000), Dialogue("R1", 0)});
    Mail(peer.PortText());
    const std::uint16_t id = Register("Stage", 2);
    Reply(id, HealthyStatus());

    Reply(id, FanFault());
    EXPECT_EQ(core_->EmailJobs().size(), 1u);
    Reply(id, FanFault());
    Reply(id, FanFault());
    EXPECT_EQ(core_->EmailJobs().size(), 1u);
    EXPECT_EQ(Dev(id).Notified, DeviceStatus{});  // not before the server has the mail

    Reply(id, FanAndChannelFault());
    EXPECT_EQ(core_->EmailJobs().size(), 2u);
    Reply(id, FanAndChannelFault());
    EXPECT_EQ(core_->EmailJobs().size(), 2u);

    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 2; }, 10000));
    EXPECT_TRUE(core_->EmailJobs().empty());
    DeviceStatus marks{};
    marks.FanOk[1] = 1;
    marks.ChannelOk[4] = 1;
    EXPECT_EQ(Dev(id).Notified, marks);

    Reply(id, FanAndChannelFault());
    EXPECT_TRUE(core_->EmailJobs().empty());
    EXPECT_FALSE(peer.WaitAccepted(3, std::chrono::milliseconds(500)));
    // The two deliveries ran side by side: either may have reached the server first.
    for (const char* subject : {"AVLO Alert [RV12, # 10203040]: FAN FAILURE",
                                "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, FAN FAILURE"}) {
        const int mails = (peer.Get(0).data.find(subject) != std::string::npos ? 1 : 0) +
                          (peer.Get(1).data.find(subject) != std::string::npos ? 1 : 0);
        EXPECT_EQ(mails, 1) << subject;
    }
    EXPECT_EQ(Dev(id).Stats[StatsFanErr + 1], 1);
    EXPECT_EQ(Dev(id).Stats[StatsChanErr + 4], 1);
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
}

// What an alert's result does: it marks the faults the alert reported when the server took
// the message, whatever the outcome says besides; the outcome is logged with its own text,
// named with the settings the mail went out with.
TEST_F(EmailJobsTest, ResultOfAnAlertMarksItsFaultsWhenTheServerTookTheMessage) {
    const std::string summary =
        "\r\n\nTo : r1@example.com,r2@example.com,r3@example.com\r\nSubject : S\r\nMessage : B";
    const std::string noAnswer = "[20] The network subsystem has failed.\r\n" + summary;
    const std::string secondRefused =
        "[9] The SMTP server could not send e-mail to r2@example.com.\r\n" + summary;
    const struct {
        const char* name;
        std::uint32_t wParam;
        bool marked;
        std::uint32_t logged;
        std::string text;
        bool deleted = false;
    } cases[] = {
        {"delivered", SmtpOk, true, EV_EMAIL_SENT, summary},
        {"taken, the second recipient refused", SmtpAcceptedFlag | SmtpRecipient2Refused, true,
         EV_EMAIL_FAILED, secondRefused},
        {"taken, QUIT unanswered", SmtpAcceptedFlag | SmtpReplyTimeout, true, EV_EMAIL_FAILED,
         noAnswer},
        {"the only recipient refused", SmtpRecipient2Refused, false, EV_EMAIL_FAILED,
         secondRefused},
        {"no answer", SmtpReplyTimeout, false, EV_EMAIL_FAILED, noAnswer},
        {"mailbox unavailable", SmtpMailboxUnavailable, false, EV_EMAIL_FAILED, "[7] "},
        {"client ended without an outcome", SmtpStopped, false, EV_EMAIL_FAILED,
         "[25] The network subsystem has failed.\r\n" + summary},
        {"device deleted meanwhile", SmtpOk, false, EV_EMAIL_SENT, summary, true},
    };
    Mail("25", 3);  // the page now names other settings than the mail went out with
    core_->EmailSettings.server = "other.example.com";
    core_->EmailSettings.recipient[1] = "someone.else@example.com";
    int host = 10;
    std::uint32_t jobId = 9000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint16_t id = Register("Amp " + std::to_string(host), host);
        ++host;
        auto job = std::make_unique<CMonitorCore::EmailJob>();
        job->JobId = ++jobId;
        job->Summary = summary;
        job->Fields = emailoutcome::Fields();
        job->DeviceId = id;
        job->Faults = Bit(StatsFanErr + 1) | Bit(StatsPlus12VErr);
        core_->EmailJobs().push_back(std::move(job));
        if (c.deleted) core_->DeleteDevice(Dev(id).ListIndex);
        const std::size_t before = EventsWithId(c.logged).size();

        core_->Post(WM_SMTPRESULT, c.wParam, jobId);
        ASSERT_TRUE(WaitUntil([this] { return core_->EmailJobs().empty(); }, 2000));
        const auto logged = EventsWithId(c.logged);
        ASSERT_EQ(logged.size(), before + 1);
        EXPECT_EQ(logged.back().text.value_or(""), c.text);
        if (c.deleted) {
            EXPECT_EQ(core_->FindDeviceById(id), nullptr);
            continue;
        }
        DeviceStatus marks{};
        if (c.marked) {
            marks.FanOk[1] = 1;
            marks.SupplyOk[1] = 1;
        }
        EXPECT_EQ(Dev(id).Notified, marks);
        EXPECT_EQ(core_->AlertsInFlight(id), 0u);
    }
}

// The client reports the server's acceptance beside the outcome; until it does, these cases
// cannot be run against it.
template <typename Client>
constexpr bool ReportsAcceptance = requires(Client& c) {
    c.MessageAccepted();
};

// A real delivery that the server takes although the outcome is not SmtpOk: the alert is not
// sent again at the next faulty status.
TEST_F(EmailJobsTest, AlertTakenByTheServerIsNotSentAgain) {
    if constexpr (!ReportsAcceptance<CSmtpClient>) {
        GTEST_SKIP() << "the SMTP client does not report the server's acceptance yet";
    }
    smtptest::Replies refusedSecond;
    refusedSecond.rcpt[1] = "550 no such user";
    smtptest::Replies badQuit;
    badQuit.quit = "500 what";
    const struct {
        const char* name;
        smtptest::Replies replies;
        std::string logStart;
    } cases[] = {
        {"second of three recipients refused", refusedSecond,
         "[9] The SMTP server could not send e-mail to " + smtptest::Recipients[1] + ".\r\n"},
        {"QUIT refused", badQuit, "[22] The network subsystem has failed.\r\n"},
    };
    int host = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpPeer peer(SmtpAddress());
        ASSERT_TRUE(peer.Listening());
        peer.Serve({Dialogue("R1 R2 R3", 0, c.replies), Dialogue("R1 R2 R3", 0, c.replies)});
        Mail(peer.PortText(), 3);
        const std::uint16_t id = Register("Amp " + std::to_string(host), host);
        ++host;
        const std::size_t failedBefore = EventsWithId(EV_EMAIL_FAILED).size();

        Reply(id, FanFault());
        ASSERT_TRUE(
            WaitUntil([&] { return EventsWithId(EV_EMAIL_FAILED).size() > failedBefore; }, 10000));
        EXPECT_TRUE(EventsWithId(EV_EMAIL_FAILED).back().text.value_or("").starts_with(c.logStart))
            << EventsWithId(EV_EMAIL_FAILED).back().text.value_or("");
        EXPECT_EQ(Dev(id).Notified.FanOk[1], 1);
        Reply(id, FanFault());
        EXPECT_TRUE(core_->EmailJobs().empty());
        EXPECT_FALSE(peer.WaitAccepted(2, std::chrono::milliseconds(300)));
        EXPECT_TRUE(peer.Get(0).dataComplete);
    }
}

}  // namespace
