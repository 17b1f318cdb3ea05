// Whether the server accepted the message: once it took the final ".", the mail reached every
// recipient it took, and the owner must not send it again, whatever went wrong after that or
// whichever recipient was refused before. Told by MessageAccepted after a synchronous Send and
// by SmtpAcceptedFlag in the asynchronous result; the outcome code itself stays as it was.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "comms/Mymessages.h"
#include "integration/SmtpClientFixture.h"
#include "support/QueueTarget.h"

namespace {

using namespace std::chrono_literals;
using smtptest::Replies;
using smtptest::With;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";
constexpr std::uint32_t JobId = 7;

struct AcceptedCase {
    const char* name;
    Replies replies;
    const char* sent;  // what the client sends up to where it stops
    bool closeAfter;   // the server hangs up once the last reply is sent
    SmtpResult result;
    bool accepted;
};

const AcceptedCase AcceptedCases[] = {
    {"Delivered", Replies{}, Whole, false, SmtpOk, true},
    {"SecondRecipientRefused", With([](Replies& r) { r.rcpt[1] = "550 no such user"; }), Whole,
     false, SmtpRecipient2Refused, true},
    {"QuitRefused", With([](Replies& r) { r.quit = "500 what"; }), Whole, false,
     SmtpUnexpectedReply, true},
    {"ClosedInsteadOfAnsweringQuit", Replies{}, Whole, true, SmtpConnectionClosed, true},
    {"RecipientRefusedAndQuitRefused", With([](Replies& r) {
         r.rcpt[0] = "450 busy";
         r.quit = "421 closing";
     }),
     Whole, false, SmtpUnexpectedReply, true},
    {"MessageRefused", With([](Replies& r) { r.end = "554 spam"; }),
     "HELO RSET MAIL R1 R2 R3 DATA MSG", false, SmtpUnexpectedReply, false},
    {"ClosedInsteadOfAnsweringTheMessage", Replies{}, "HELO RSET MAIL R1 R2 R3 DATA MSG", true,
     SmtpConnectionClosed, false},
    {"DataRefused", With([](Replies& r) { r.data = "451 later"; }), "HELO RSET MAIL R1 R2 R3 DATA",
     false, SmtpUnexpectedReply, false},
    {"EveryRecipientRefused", With([](Replies& r) {
         r.rcpt = {"550 a", "550 b", "550 c"};
     }),
     "HELO RSET MAIL R1 R2 R3", false, SmtpAllRecipientsRefused, false},
};

void PrintTo(const AcceptedCase& c, std::ostream* os) {
    *os << c.name;
}

ScriptedSmtpPeer::Script ScriptOf(const AcceptedCase& c) {
    ScriptedSmtpPeer::Script script = smtptest::BuildScript(c.replies, c.sent);
    if (c.closeAfter) {
        // The reply to the last command never comes: the server closes instead.
        script.back() = ScriptedSmtpPeer::Close();
    }
    return script;
}

class SmtpAcceptedTest : public SmtpClientFixture,
                         public testing::WithParamInterface<AcceptedCase> {};

TEST_P(SmtpAcceptedTest, SynchronousSendTellsWhetherTheServerTookTheMessage) {
    const AcceptedCase& c = GetParam();
    Configure();
    EXPECT_EQ(DeliverWith(ScriptOf(c)), c.result);
    EXPECT_EQ(client_.MessageAccepted(), c.accepted);
    ExpectSent(c.sent);
}

TEST_P(SmtpAcceptedTest, AsynchronousResultCarriesTheFlagBesideTheOutcome) {
    const AcceptedCase& c = GetParam();
    QueueTarget target;
    CSmtpClient client(WM_SMTPRESULT, &target, JobId);
    ASSERT_EQ(client.SetHostNameSource(smtptest::TestHostName), SmtpOk);
    ASSERT_EQ(client.SetServer(peer_->Address(), peer_->PortText()), SmtpOk);
    ASSERT_EQ(client.SetSender(smtptest::Sender, smtptest::User), SmtpOk);
    const auto& r = smtptest::Recipients;
    ASSERT_EQ(client.SetRecipients(r[0], r[1], r[2]), SmtpOk);
    peer_->Serve(ScriptOf(c));
    ASSERT_EQ(client.Send(false), SmtpOk);
    const auto m = target.WaitFor([](const QueueTarget::Message&) { return true; }, 15s);
    ASSERT_TRUE(m.has_value()) << "no result";
    EXPECT_EQ(m->msg, WM_SMTPRESULT);
    EXPECT_EQ(m->wParam, static_cast<std::uint32_t>(c.result) | (c.accepted ? 0x100u : 0u));
    EXPECT_EQ(m->lParam, JobId);
    ExpectSent(c.sent);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SmtpAcceptedTest, testing::ValuesIn(AcceptedCases),
                         [](const auto& info) { return std::string(info.param.name); });

using SmtpAcceptedResetTest = SmtpClientFixture;

TEST_F(SmtpAcceptedResetTest, ASendThatDeliversNothingDoesNotKeepTheFlagOfTheLastOne) {
    Replies refusing;
    refusing.greeting = "554 not now";
    peer_->Serve({smtptest::BuildScript(Replies{}, Whole), smtptest::BuildScript(refusing, "")});
    Configure();
    ASSERT_EQ(client_.Send(true), SmtpOk);
    ASSERT_TRUE(client_.MessageAccepted());
    EXPECT_EQ(client_.Send(true), SmtpUnexpectedReply);
    EXPECT_FALSE(client_.MessageAccepted());
    EXPECT_TRUE(peer_->WaitFinished(15s));
}

}  // namespace
