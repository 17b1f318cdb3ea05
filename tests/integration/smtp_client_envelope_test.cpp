// What a strict server sees before the message: the HELO argument (a domain name or the
// address literal of the client's end, never the user's name), the sender and recipient
// addresses without the blanks around them, and a port typed with blanks around it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "integration/SmtpClientFixture.h"

namespace {

using smtptest::Replies;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";

// The standard dialogue, taking any HELO line: the test reads it afterwards.
ScriptedSmtpPeer::Script AnyHeloScript() {
    ScriptedSmtpPeer::Script script = smtptest::BuildScript(Replies{}, Whole);
    script[1] = ScriptedSmtpPeer::Expect("*");
    return script;
}

struct HeloCase {
    const char* name;
    std::string hostName;
    bool used;  // false: the address literal stands in for it
};

const HeloCase HeloCases[] = {
    {"FullyQualified", "monitor-pc.site.test", true},
    {"SingleLabel", "amp-rack", true},
    {"UserNameWithBlank", "AVLO Monitor", false},
    {"MailboxLike", "j.smith@isp.com", false},
    {"Empty", "", false},
    {"Underscore", "monitor_pc.site.test", false},
    {"LabelStartsWithHyphen", "-monitor.site.test", false},
    {"EmptyLabel", "monitor..site.test", false},
    {"AllDigits", "192.0.2.7", false},
    {"Label64", std::string(64, 'a') + ".test", false},
};

void PrintTo(const HeloCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpHeloTest : public SmtpClientFixture, public testing::WithParamInterface<HeloCase> {};

TEST_P(SmtpHeloTest, GreetsWithAValidHostNameElseWithTheLocalAddressLiteral) {
    const HeloCase& c = GetParam();
    Configure();
    ASSERT_EQ(client_.SetHostNameSource([name = c.hostName] { return name; }), SmtpOk);
    EXPECT_EQ(DeliverWith(AnyHeloScript()), SmtpOk);
    ASSERT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
    const ScriptedSmtpPeer::Session session = peer_->Get(0);
    ASSERT_FALSE(session.lines.empty());
    ASSERT_FALSE(session.clientAddress.empty());
    const std::string expected = c.used ? c.hostName : "[" + session.clientAddress + "]";
    EXPECT_EQ(session.lines[0], "HELO " + expected);
}

INSTANTIATE_TEST_SUITE_P(Names, SmtpHeloTest, testing::ValuesIn(HeloCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpHeloTest, WithoutATestSourceTheMachinesOwnNameIsLookedUp) {
    Configure();
    ASSERT_EQ(client_.SetHostNameSource(nullptr), SmtpOk);
    EXPECT_EQ(DeliverWith(AnyHeloScript()), SmtpOk);
    ASSERT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
    const ScriptedSmtpPeer::Session session = peer_->Get(0);
    ASSERT_FALSE(session.lines.empty());
    char own[256] = {};
    ASSERT_EQ(gethostname(own, sizeof own - 1), 0);
    const std::string line = session.lines[0];
    EXPECT_TRUE(line == "HELO " + std::string(own) ||
                line == "HELO [" + session.clientAddress + "]")
        << line << " (host name " << own << ")";
    EXPECT_NE(line, "HELO " + smtptest::User);
}

using SmtpAddressBlanksTest = SmtpClientFixture;

TEST_F(SmtpAddressBlanksTest, BlanksAroundTheAddressesAreNotSent) {
    Configure();
    const auto& r = smtptest::Recipients;
    ASSERT_EQ(client_.SetSender(" \t" + smtptest::Sender + "  ", smtptest::User), SmtpOk);
    ASSERT_EQ(client_.SetRecipients("  " + r[0], r[1] + "\t", " " + r[2] + " "), SmtpOk);
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, Whole)), SmtpOk);
    ExpectSent(Whole);
    const std::string message = peer_->Get(0).data;
    EXPECT_NE(message.find("\r\nTO: " + r[0] + "," + r[1] + "," + r[2] + "\r\n"), std::string::npos)
        << message;
    EXPECT_NE(message.find("<" + smtptest::Sender + ">\r\n"), std::string::npos) << message;
}

TEST_F(SmtpAddressBlanksTest, ARecipientOfBlanksOnlyIsNoRecipient) {
    Configure();
    const auto& r = smtptest::Recipients;
    ASSERT_EQ(client_.SetRecipients(r[0], "   ", r[2]), SmtpOk);
    const char* const sent = "HELO RSET MAIL R1 R3 DATA MSG QUIT";
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, sent)), SmtpOk);
    ExpectSent(sent);
    EXPECT_EQ(client_.SetRecipients(" ", "\t", ""), SmtpBadRecipients);
    EXPECT_EQ(client_.SetSender("  ", smtptest::User), SmtpBadSender);
}

TEST_F(SmtpAddressBlanksTest, APortWithBlanksAroundItIsThePort) {
    // The e-mail page takes " 25" as port 25; the client must read it the same way.
    Configure();
    ASSERT_EQ(client_.SetServer(peer_->Address(), " " + peer_->PortText() + "\t"), SmtpOk);
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, Whole)), SmtpOk);
    ExpectSent(Whole);
}

}  // namespace
