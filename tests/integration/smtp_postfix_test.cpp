// Delivery to a strict Postfix (Debian's, private, on a loopback port): the HELO name, the
// 8-bit text, the line ends and the envelope addresses must all be what a careful provider
// accepts, and the delivered mail must read back, through Python's mail parser, as it was
// written.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "integration/PostfixServer.h"
#include "notify/EmailOutcome.h"
#include "notify/SmtpClientThread.h"
#include "support/SmtpTestDialogue.h"

namespace {

using namespace std::chrono_literals;
using postfixtest::Domain;

const std::string Sender = "monitor@site.test";
const std::string Tech1 = "tech1@" + Domain;
const std::string Tech2 = "tech2@" + Domain;
const std::string Tech3 = "tech3@" + Domain;

// The body as a reader sees it in a stored mail: LF line ends, the final one added by the
// end of the data.
std::string AsStored(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text + "\n";
}

class SmtpPostfixTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string reason = postfixtest::Unavailable();
        if (!reason.empty()) {
            if (postfixtest::UnderCi()) FAIL() << "CI must run the Postfix tests: " << reason;
            GTEST_SKIP() << reason;
        }
    }

    // Starts the server; `mailboxes` as PostfixServer takes them.
    void StartServer(std::vector<std::string> mailboxes = {}) {
        server_ = std::make_unique<postfixtest::PostfixServer>("127.0.0.1", std::move(mailboxes));
        ASSERT_TRUE(server_->Start()) << "Postfix did not start:\n" << server_->Log();
    }

    // A client set up for the server; the texts are the test's to change.
    void Configure(CSmtpClient& client, const std::string& userName = "AVLO Monitor") {
        ASSERT_EQ(client.SetServer(server_->Address(), server_->PortText()), SmtpOk);
        ASSERT_EQ(client.SetSender(Sender, userName), SmtpOk);
        ASSERT_EQ(client.SetRecipients(Tech1, Tech2, Tech3), SmtpOk);
        ASSERT_EQ(client.SetSubject("AVLO TEST EMAIL"), SmtpOk);
        ASSERT_EQ(client.SetBody("This is a test e-mail."), SmtpOk);
    }

    std::unique_ptr<postfixtest::PostfixServer> server_;
};

TEST_F(SmtpPostfixTest, AnAlertWithUtf8TextAndALongSubjectArrivesIntact) {
    StartServer();
    const std::string bullet = "\xC2\xB7";
    const std::string subject = "AVLO Monitor Alert: Verstärker „Bühne Süd“ S/N 10203040 " +
                                bullet + " Überhitzung in Kanal 3 und Kanal 4";
    const std::string body =
        "Model:\t\tRV12\r\nSerial No:\t10203040\r\n\r\nOutput Channels Condition:\r\n" + bullet +
        " Channel 1: \tOK\r\n" + bullet + " Channel 2: \tFAN FAILURE   \r\n.\r\n" +
        std::string(120, '=') + "\r\n\r\n" + EmailDisclaimer;
    CSmtpClient client(0, nullptr, 0);
    Configure(client);
    ASSERT_EQ(client.SetSubject(subject), SmtpOk);
    ASSERT_EQ(client.SetBody(body), SmtpOk);
    ASSERT_EQ(client.Send(true), SmtpOk) << server_->Log();
    EXPECT_TRUE(client.MessageAccepted());

    const auto mails = server_->ParseByRecipient(3, 10s);
    ASSERT_EQ(mails.size(), 3u) << server_->Log();
    for (const std::string& to : {Tech1, Tech2, Tech3}) {
        SCOPED_TRACE(to);
        ASSERT_EQ(mails.count(to), 1u);
        auto f = mails.at(to);
        EXPECT_EQ(f["defects"], "0") << f["defect-list"];
        EXPECT_EQ(f["subject"], subject);
        EXPECT_EQ(f["from-name"], "AVLO Monitor");
        EXPECT_EQ(f["from-address"], Sender);
        EXPECT_EQ(f["to"], Tech1 + "," + Tech2 + "," + Tech3);
        EXPECT_EQ(f["content-type"], "text/plain");
        EXPECT_EQ(f["charset"], "utf-8");
        EXPECT_EQ(f["transfer-encoding"], "quoted-printable");
        EXPECT_EQ(f["body"], AsStored(body));
        EXPECT_EQ(f["all-7bit"], "yes");
        EXPECT_LE(std::stoi(f["longest-line"]), 78) << f["raw-body"];
    }
}

struct HeloCase {
    const char* name;
    std::string hostName;  // empty: the machine's own
    std::string seen;      // the name the server records, empty: not checked
};

void PrintTo(const HeloCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpPostfixHeloTest : public SmtpPostfixTest, public testing::WithParamInterface<HeloCase> {};

// The user's name once went into HELO; a strict server refuses it as a host name.
TEST_P(SmtpPostfixHeloTest, TheGreetingIsAcceptedWhateverTheUserIsCalled) {
    const HeloCase& c = GetParam();
    StartServer();
    CSmtpClient client(0, nullptr, 0);
    Configure(client, "j.smith@isp.com");
    if (!c.hostName.empty()) {
        ASSERT_EQ(client.SetHostNameSource([name = c.hostName] { return name; }), SmtpOk);
    }
    ASSERT_EQ(client.Send(true), SmtpOk) << server_->Log();
    const auto mails = server_->ParseByRecipient(3, 10s);
    ASSERT_EQ(mails.size(), 3u) << server_->Log();
    auto f = mails.at(Tech1);
    if (!c.seen.empty()) {
        EXPECT_TRUE(f["received"].starts_with("from " + c.seen + " ")) << f["received"];
    }
    EXPECT_EQ(f["from-name"], "j.smith@isp.com");
}

INSTANTIATE_TEST_SUITE_P(
    Names, SmtpPostfixHeloTest,
    testing::Values(HeloCase{"MachinesOwnName", "", ""},
                    HeloCase{"ValidHostName", "monitor-pc.site.test", "monitor-pc.site.test"},
                    HeloCase{"InvalidHostName", "AVLO Monitor", "[127.0.0.1]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpPostfixTest, ARefusedRecipientLeavesTheMailAcceptedForTheOthers) {
    StartServer({"tech1", "tech3"});
    CSmtpClient client(0, nullptr, 0);
    Configure(client);
    EXPECT_EQ(client.Send(true), SmtpRecipient2Refused) << server_->Log();
    EXPECT_TRUE(client.MessageAccepted());
    const auto mails = server_->ParseByRecipient(2, 10s);
    EXPECT_EQ(mails.count(Tech1), 1u);
    EXPECT_EQ(mails.count(Tech3), 1u);
    EXPECT_EQ(mails.size(), 2u) << server_->Log();
}

TEST_F(SmtpPostfixTest, AddressesAndPortTypedWithBlanksAroundThemStillDeliver) {
    StartServer();
    CSmtpClient client(0, nullptr, 0);
    Configure(client);
    ASSERT_EQ(client.SetServer(server_->Address(), " " + server_->PortText() + " "), SmtpOk);
    ASSERT_EQ(client.SetSender(" " + Sender + "\t", "AVLO Monitor"), SmtpOk);
    ASSERT_EQ(client.SetRecipients("  " + Tech1, Tech2 + " ", ""), SmtpOk);
    ASSERT_EQ(client.Send(true), SmtpOk) << server_->Log();
    const auto mails = server_->ParseByRecipient(2, 10s);
    ASSERT_EQ(mails.size(), 2u) << server_->Log();
    EXPECT_EQ(mails.at(Tech1).at("to"), Tech1 + "," + Tech2);
    EXPECT_EQ(mails.at(Tech2).at("from-address"), Sender);
}

}  // namespace
