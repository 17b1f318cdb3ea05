// The client's own thread: asynchronous deliveries and their messages, stopping, and the
// end of the thread.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "comms/Mymessages.h"
#include "integration/SmtpClientFixture.h"
#include "support/QueueTarget.h"

namespace {

using namespace std::chrono_literals;
using smtptest::Replies;
using Msg = QueueTarget::Message;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";
constexpr std::uint32_t JobId = 42;

class SmtpThreadTest : public SmtpClientFixture {
protected:
    // A second client that posts to the queue; the fixture's own client posts nothing.
    void MakePostingClient(std::uint32_t messageId = WM_SMTPRESULT) {
        posting_ = std::make_unique<CSmtpClient>(messageId, &target_, JobId);
        ASSERT_EQ(posting_->SetHostNameSource(smtptest::TestHostName), SmtpOk);
        ASSERT_EQ(posting_->SetServer(peer_->Address(), peer_->PortText()), SmtpOk);
        ASSERT_EQ(posting_->SetSender(smtptest::Sender, smtptest::User), SmtpOk);
        const auto& r = smtptest::Recipients;
        ASSERT_EQ(posting_->SetRecipients(r[0], r[1], r[2]), SmtpOk);
        ASSERT_EQ(posting_->SetBody("Line one"), SmtpOk);
    }
    std::optional<Msg> NextResult(std::chrono::milliseconds limit) {
        return target_.WaitFor([](const Msg&) { return true; }, limit);
    }
    // `accepted`: the server took the message, so the result carries SmtpAcceptedFlag.
    static void ExpectResult(const std::optional<Msg>& m, SmtpResult result,
                             bool accepted = false) {
        ASSERT_TRUE(m.has_value()) << "no message";
        EXPECT_EQ(m->msg, WM_SMTPRESULT);
        EXPECT_EQ(m->wParam, static_cast<std::uint32_t>(result) | (accepted ? SmtpAcceptedFlag : 0))
            << SmtpResultName(result);
        EXPECT_EQ(m->lParam, JobId);
    }

    QueueTarget target_;
    std::unique_ptr<CSmtpClient> posting_;
};

TEST_F(SmtpThreadTest, AsynchronousSendReturnsAtOnceAndPostsTheOutcomeWithTheJobId) {
    P::Script script = smtptest::BuildScript(Replies{}, Whole);
    script.front().ms = 500;
    peer_->Serve(script);
    MakePostingClient();
    const auto start = Clock::now();
    EXPECT_EQ(posting_->Send(false), SmtpOk);
    EXPECT_LT(Clock::now() - start, 300ms);
    ExpectResult(NextResult(5s), SmtpOk, true);
    ExpectSent(Whole);
}

TEST_F(SmtpThreadTest, AsynchronousFailureIsPostedAndTheClientServesTheNextSend) {
    Replies refusing;
    refusing.greeting = "554 not now";
    peer_->Serve({smtptest::BuildScript(refusing, ""), smtptest::BuildScript(Replies{}, Whole)});
    MakePostingClient();
    ASSERT_EQ(posting_->Send(false), SmtpOk);
    ExpectResult(NextResult(5s), SmtpUnexpectedReply);
    ASSERT_EQ(posting_->Send(false), SmtpOk);
    ExpectResult(NextResult(5s), SmtpOk, true);
}

TEST_F(SmtpThreadTest, TheEndOfTheThreadIsPostedAsStopped) {
    MakePostingClient();
    posting_.reset();
    ExpectResult(NextResult(2s), SmtpStopped);
    EXPECT_TRUE(target_.Collect(100ms).empty());
}

TEST_F(SmtpThreadTest, NothingIsPostedWithoutAPositiveMessageId) {
    for (const std::uint32_t id : {0u, 0x80000000u}) {
        ScriptedSmtpPeer peer(smtptest::NextPeerAddress());
        ASSERT_TRUE(peer.Listening());
        peer.Serve(smtptest::BuildScript(Replies{}, "HELO RSET MAIL R1 DATA MSG QUIT"));
        {
            CSmtpClient client(id, &target_, JobId);
            ASSERT_EQ(client.SetHostNameSource(smtptest::TestHostName), SmtpOk);
            ASSERT_EQ(client.SetServer(peer.Address(), peer.PortText()), SmtpOk);
            ASSERT_EQ(client.SetSender(smtptest::Sender, smtptest::User), SmtpOk);
            ASSERT_EQ(client.SetRecipients(smtptest::Recipients[0], "", ""), SmtpOk);
            ASSERT_EQ(client.Send(false), SmtpOk);
            ASSERT_TRUE(peer.WaitFinished(10s));
            EXPECT_EQ(peer.Failures(), std::vector<std::string>{});
        }
        EXPECT_TRUE(target_.Collect(100ms).empty()) << "message id " << id;
    }
}

bool ThreadNamed(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return false;
    bool found = false;
    while (dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        found = found || (std::getline(comm, line) && line == name);
    }
    closedir(tasks);
    return found;
}

TEST_F(SmtpThreadTest, TheThreadIsNamedForDebuggers) {
    MakePostingClient();
    bool named = false;
    for (int i = 0; i < 100 && !(named = ThreadNamed("SMTP Client")); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(named);
}

// Stop must end a waiting delivery at once, whichever thread it runs on.
TEST_F(SmtpThreadTest, StopEndsASynchronousDeliveryWaitingForTheGreeting) {
    Configure();
    peer_->Serve({P::Silent(8000)});
    auto delivery = std::async(std::launch::async, [this] { return client_.Send(true); });
    ASSERT_TRUE(peer_->WaitAccepted(1, 5s));
    std::this_thread::sleep_for(200ms);
    const auto stopped = Clock::now();
    client_.Stop();
    ASSERT_EQ(delivery.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(delivery.get(), SmtpStopped);
    EXPECT_LT(Clock::now() - stopped, 500ms);
    EXPECT_EQ(client_.Send(true), SmtpStopped);
    EXPECT_EQ(client_.SetSubject("still idle"), SmtpOk);
}

TEST_F(SmtpThreadTest, StopEndsAnAsynchronousDeliveryAndThenTheThread) {
    peer_->Serve({P::Reply("220 ready"), P::Expect(smtptest::LineOf("HELO")), P::Silent(8000)});
    MakePostingClient();
    ASSERT_EQ(posting_->Send(false), SmtpOk);
    ASSERT_TRUE(peer_->WaitAccepted(1, 5s));
    std::this_thread::sleep_for(200ms);
    posting_->Stop();
    ExpectResult(NextResult(500ms), SmtpStopped);  // the delivery
    ExpectResult(NextResult(500ms), SmtpStopped);  // the thread
    EXPECT_EQ(posting_->Send(false), SmtpStopped);
}

TEST_F(SmtpThreadTest, StopEndsTheWaitForAConnection) {
    const std::string address = smtptest::NextPeerAddress();
    UnacceptingListener listener(address);
    ASSERT_TRUE(listener.Ready());
    Configure();
    ASSERT_EQ(client_.SetServer(address, listener.PortText()), SmtpOk);
    auto delivery = std::async(std::launch::async, [this] { return client_.Send(true); });
    std::this_thread::sleep_for(300ms);
    const auto stopped = Clock::now();
    client_.Stop();
    ASSERT_EQ(delivery.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(delivery.get(), SmtpStopped);
    EXPECT_LT(Clock::now() - stopped, 500ms);
}

}  // namespace
