// Refused recipients: the outcome names the refused set; the message still goes to the
// accepted ones, and without an accepted one the client stops before DATA, without QUIT.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/SmtpClientFixture.h"

namespace {

using smtptest::Replies;

struct RecipientCase {
    std::string name;
    unsigned given;    // bit i: recipient i+1 is given
    unsigned refused;  // bit i: the server refuses recipient i+1
    SmtpResult result;
};

const SmtpResult SetOutcome[8] = {SmtpOk,
                                  SmtpRecipient1Refused,
                                  SmtpRecipient2Refused,
                                  SmtpRecipients12Refused,
                                  SmtpRecipient3Refused,
                                  SmtpRecipients13Refused,
                                  SmtpRecipients23Refused,
                                  SmtpAllRecipientsRefused};

// Every refused set, once with only the refused recipients given and, where one is left,
// once with all three given (the others accepted).
std::vector<RecipientCase> RecipientCases() {
    std::vector<RecipientCase> cases;
    for (unsigned refused = 1; refused < 8; ++refused) {
        const std::string set = "Set" + std::to_string(refused & 1 ? 1 : 0) +
                                std::to_string(refused & 2 ? 1 : 0) +
                                std::to_string(refused & 4 ? 1 : 0);
        cases.push_back({set + "Alone", refused, refused, SetOutcome[refused]});
        if (refused != 7) cases.push_back({set + "WithOthers", 7, refused, SetOutcome[refused]});
    }
    // Recipient 1 refused, recipient 2 not given, recipient 3 accepted.
    cases.push_back({"FirstRefusedThirdAccepted", 5, 1, SmtpRecipient1Refused});
    return cases;
}

// The server's reasons vary with the place, as any refusal counts.
const char* const Refusals[3] = {"550 no such user", "450 mailbox busy", "553 not allowed"};

// Failures name the case, not its bytes.
void PrintTo(const RecipientCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpRecipientTest : public SmtpClientFixture,
                          public testing::WithParamInterface<RecipientCase> {};

TEST_P(SmtpRecipientTest, OutcomeNamesTheRefusedAndTheMailGoesToTheAccepted) {
    const RecipientCase& c = GetParam();
    std::array<std::string, 3> recipients;
    Replies replies;
    std::string sent = "HELO RSET MAIL";
    for (unsigned i = 0; i < 3; ++i) {
        if (!(c.given & (1u << i))) continue;
        recipients[i] = smtptest::Recipients[i];
        sent += " R" + std::to_string(i + 1);
        if (c.refused & (1u << i)) replies.rcpt[i] = Refusals[i];
    }
    const bool anyAccepted = (c.given & ~c.refused) != 0;
    if (anyAccepted) sent += " DATA MSG QUIT";
    Configure(recipients);
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(replies, sent)), c.result);
    ExpectSent(sent);
    EXPECT_EQ(peer_->Get(0).dataComplete, anyAccepted);
}

INSTANTIATE_TEST_SUITE_P(Sets, SmtpRecipientTest, testing::ValuesIn(RecipientCases()),
                         [](const auto& info) { return info.param.name; });

using SmtpRecipientRulesTest = SmtpClientFixture;

TEST_F(SmtpRecipientRulesTest, ARecipientTooLongForACommandLineIsRefusedWithoutBeingSent) {
    // "RCPT TO:<" + 500 + ">\r\n" is over the 511 characters a command line may have.
    const std::string tooLong = std::string(490, 'x') + "@example.com";
    Configure({tooLong, smtptest::Recipients[1], ""});
    const std::string sent = "HELO RSET MAIL R2 DATA MSG QUIT";
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, sent)), SmtpRecipient1Refused);
    ExpectSent(sent);
}

TEST_F(SmtpRecipientRulesTest, ALostConnectionDuringTheRecipientsIsNotARefusal) {
    // A recipient is refused by the server's reply; a server that is gone refuses nobody.
    Configure();
    const std::string sent = "HELO RSET MAIL R1";
    P::Script script = smtptest::BuildScript(Replies{}, "HELO RSET MAIL");
    script.push_back(P::Expect(smtptest::LineOf("R1")));
    script.push_back(P::Close());
    EXPECT_EQ(DeliverWith(script), SmtpConnectionClosed);
    ExpectSent(sent);
}

}  // namespace
