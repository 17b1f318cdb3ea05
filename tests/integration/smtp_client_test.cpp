// The dialogue with a server: which replies end a delivery with which outcome, what the
// client sends up to there, and that replies are read whole however they arrive.
#include <gtest/gtest.h>

#include <string>

#include "integration/SmtpClientFixture.h"

namespace {

using smtptest::Replies;
using smtptest::With;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";

struct ReplyCase {
    const char* name;
    Replies replies;
    const char* sent;  // what the client must send, up to where it stops
    SmtpResult result;
};

const ReplyCase ReplyCases[] = {
    {"Accepted", Replies{}, Whole, SmtpOk},
    {"GreetingRefused554", With([](Replies& r) { r.greeting = "554 no service"; }), "",
     SmtpUnexpectedReply},
    {"GreetingRefused550", With([](Replies& r) { r.greeting = "550 go away"; }), "",
     SmtpMailboxUnavailable},
    {"GreetingNotANumber", With([](Replies& r) { r.greeting = "hello there"; }), "",
     SmtpUnexpectedReply},
    {"GreetingTooShort", With([](Replies& r) { r.greeting = "22"; }), "", SmtpUnexpectedReply},
    {"Answers220Everywhere", With([](Replies& r) {
         r.helo = r.rset = r.mail = r.data = r.end = r.quit = "220 fine";
         r.rcpt = {"220 fine", "220 fine", "220 fine"};
     }),
     Whole, SmtpOk},
    {"HeloRefused", With([](Replies& r) { r.helo = "501 bad name"; }), "HELO", SmtpUnexpectedReply},
    {"RsetRefused", With([](Replies& r) { r.rset = "502 not here"; }), "HELO RSET",
     SmtpUnexpectedReply},
    {"Sender450", With([](Replies& r) { r.mail = "450 try later"; }), "HELO RSET MAIL",
     SmtpBadRecipients},
    {"Sender551", With([](Replies& r) { r.mail = "551 not local"; }), "HELO RSET MAIL",
     SmtpMailboxUnavailable},
    {"Sender553", With([](Replies& r) { r.mail = "553 not allowed"; }), "HELO RSET MAIL",
     SmtpSenderRejected},
    {"RecipientAnswer251", With([](Replies& r) { r.rcpt[1] = "251 will forward"; }), Whole, SmtpOk},
    {"DataRefused", With([](Replies& r) { r.data = "550 no data"; }),
     "HELO RSET MAIL R1 R2 R3 DATA", SmtpMailboxUnavailable},
    {"DataAnswered250", With([](Replies& r) { r.data = "250 odd but fine"; }), Whole, SmtpOk},
    {"MessageRefused", With([](Replies& r) { r.end = "554 spam"; }),
     "HELO RSET MAIL R1 R2 R3 DATA MSG", SmtpUnexpectedReply},
    {"QuitAnsweredOddly", With([](Replies& r) { r.quit = "500 what"; }), Whole,
     SmtpUnexpectedReply},
};

// Failures name the case, not its bytes.
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpReplyTest : public SmtpClientFixture, public testing::WithParamInterface<ReplyCase> {};

TEST_P(SmtpReplyTest, EndsWithTheOutcomeOfTheReplyAndSendsNothingAfterAFailure) {
    const ReplyCase& c = GetParam();
    Configure();
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(c.replies, c.sent)), c.result);
    ExpectSent(c.sent);
}

INSTANTIATE_TEST_SUITE_P(Replies, SmtpReplyTest, testing::ValuesIn(ReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Replies read whole: the client must not speak before a reply's final line has come, and
// the code is that of the final line.
struct PiecesCase {
    const char* name;
    std::vector<ScriptedSmtpPeer::Step> greeting;
    std::vector<ScriptedSmtpPeer::Step> heloReply;
    SmtpResult result;
    const char* sent;
};

using P = ScriptedSmtpPeer;
const PiecesCase PiecesCases[] = {
    {"MultiLineGreetingInTwoPackets",
     {P::Send("220-peer.example first line\r\n"), P::Send("220 peer.example ready\r\n", 300)},
     {P::Reply("250 hello")},
     SmtpOk,
     Whole},
    {"GreetingLinesInOnePacket",
     {P::Send("220-one\r\n220-two\r\n220 three\r\n")},
     {P::Reply("250 hello")},
     SmtpOk,
     Whole},
    {"ReplySplitInsideTheCode",
     {P::Reply("220 ready")},
     {P::Send("25"), P::Send("0 hello\r\n", 300)},
     SmtpOk,
     Whole},
    {"ReplySplitInsideTheText",
     {P::Reply("220 ready")},
     {P::Send("250 hel"), P::Send("lo\r\n", 300)},
     SmtpOk,
     Whole},
    {"ReplySplitBeforeTheLineEnd",
     {P::Reply("220 ready")},
     {P::Send("250 hello\r"), P::Send("\n", 300)},
     SmtpOk,
     Whole},
    {"FinalLineCodeCounts",
     {P::Send("220-welcome\r\n"), P::Send("554 but not you\r\n", 300)},
     {},
     SmtpUnexpectedReply,
     ""},
    {"BareCodeIsAFinalLine", {P::Reply("220")}, {P::Reply("250")}, SmtpOk, Whole},
};

void PrintTo(const PiecesCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpPiecesTest : public SmtpClientFixture, public testing::WithParamInterface<PiecesCase> {};

TEST_P(SmtpPiecesTest, ReadsEachReplyWholeAndStaysInStep) {
    const PiecesCase& c = GetParam();
    // The standard dialogue, with the greeting and the HELO reply as the case sends them.
    P::Script script = c.greeting;
    const P::Script rest = smtptest::BuildScript(Replies{}, c.sent);
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (i == 2 && !c.heloReply.empty()) {
            script.insert(script.end(), c.heloReply.begin(), c.heloReply.end());
        } else {
            script.push_back(rest[i]);
        }
    }
    Configure();
    EXPECT_EQ(DeliverWith(script), c.result);
    ExpectSent(c.sent);
}

INSTANTIATE_TEST_SUITE_P(Pieces, SmtpPiecesTest, testing::ValuesIn(PiecesCases),
                         [](const auto& info) { return std::string(info.param.name); });

using SmtpDialogueTest = SmtpClientFixture;

TEST_F(SmtpDialogueTest, RepliesOnTheLinesOfOneMultiLineReplyAreNotTakenForTheNextCommand) {
    // An extended server's answer: every line but the last is a continuation.
    Replies replies;
    replies.helo = "250-peer.example\r\n250-SIZE 1000000\r\n250 HELP";
    Configure();
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(replies, Whole)), SmtpOk);
    ExpectSent(Whole);
}

TEST_F(SmtpDialogueTest, AServerThatClosesTheConnectionEndsTheDelivery) {
    Configure();
    EXPECT_EQ(DeliverWith({P::Reply("220 ready"), P::Expect(smtptest::LineOf("HELO")), P::Close()}),
              SmtpConnectionClosed);
    ExpectSent("HELO");
}

TEST_F(SmtpDialogueTest, AServerThatClosesBeforeItsGreetingEndsTheDelivery) {
    Configure();
    EXPECT_EQ(DeliverWith({P::Close()}), SmtpConnectionClosed);
    ExpectSent("");
}

TEST_F(SmtpDialogueTest, AServerThatNeverAnswersTimesOutAfterTheReplyLimit) {
    Configure();
    EXPECT_EQ(DeliverWith({P::Silent(15000)}), SmtpReplyTimeout);
    // The limit is 10 s, whatever the constant says.
    EXPECT_GE(elapsedMs_, 10000 - 50);
    EXPECT_LT(elapsedMs_, 10000 + 1500);
    ExpectSent("");
}

}  // namespace
