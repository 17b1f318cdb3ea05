// Delivery to a real SMTP server (Debian's aiosmtpd on a loopback port), and what a standard
// mail parser makes of the stored message.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "integration/SmtpSink.h"
#include "notify/SmtpClientThread.h"
#include "notify/SmtpMessage.h"
#include "support/ScopedTimeZone.h"
#include "support/SmtpTestDialogue.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string Host = "127.0.0.1";
const std::string Sender = "monitor@site.example.com";
const std::array<std::string, 3> To = {"tech1@example.com", "tech2@example.org",
                                       "installer@example.net"};

bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

class SmtpRealServerTest : public testing::Test {
protected:
    void SetUp() override {
        if (!smtpsink::AiosmtpdInstalled()) {
            if (UnderCi())
                FAIL() << "python3-aiosmtpd is missing: /usr/bin/python3 cannot import it";
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        server_ = std::make_unique<smtpsink::Server>(Host);
        ASSERT_TRUE(server_->Running()) << "the SMTP server did not start";
    }

    // Delivers synchronously to the server; the send time is bracketed by before_/after_.
    SmtpResult Deliver(const std::string& userName, const std::string& subject,
                       const std::string& body) {
        CSmtpClient client(0, nullptr, 0);
        EXPECT_EQ(client.SetServer(Host, server_->PortText()), SmtpOk);
        EXPECT_EQ(client.SetSender(Sender, userName), SmtpOk);
        EXPECT_EQ(client.SetRecipients(To[0], To[1], To[2]), SmtpOk);
        EXPECT_EQ(client.SetSubject(subject), SmtpOk);
        EXPECT_EQ(client.SetBody(body), SmtpOk);
        before_ = std::time(nullptr);
        const SmtpResult result = client.Send(true);
        after_ = std::time(nullptr);
        return result;
    }

    std::map<std::string, std::string> Stored(int n) {
        const auto path = server_->WaitMessage(n, 10s);
        EXPECT_TRUE(path.has_value()) << "the server stored no message " << n;
        return path ? smtpsink::Parse(*path) : std::map<std::string, std::string>{};
    }

    std::unique_ptr<smtpsink::Server> server_;
    std::time_t before_ = 0;
    std::time_t after_ = 0;
};

TEST_F(SmtpRealServerTest, AMailToThreeRecipientsIsStoredAndParsesToWhatWasSent) {
    ScopedTimeZone zone("XYZ-05:30");
    const std::string body =
        "Amplifier fault\r\n· Channel 3: protect\r\n.\r\n.hidden line\r\nEnd of report";
    ASSERT_EQ(Deliver("AVLO Monitor", "AVLO alert: S/N 1234", body), SmtpOk);

    auto f = Stored(1);
    ASSERT_FALSE(f.empty()) << "the mail parser could not read the stored message";
    EXPECT_EQ(f["defects"], "0");
    EXPECT_EQ(f["from-name"], "AVLO Monitor");
    EXPECT_EQ(f["from-address"], Sender);
    EXPECT_EQ(f["to"], To[0] + "," + To[1] + "," + To[2]);
    EXPECT_EQ(f["subject"], "AVLO alert: S/N 1234");
    EXPECT_EQ(f["mime-version"], "1.0");
    EXPECT_EQ(f["content-type"], "text/plain");
    EXPECT_EQ(f["charset"], "utf-8");
    // The bytes as stored, dots taken off: quoted-printable, 7-bit.
    EXPECT_EQ(
        f["raw-body"],
        "Amplifier fault\r\n=C2=B7 Channel 3: protect\r\n.\r\n.hidden line\r\nEnd of report\r\n");
    EXPECT_EQ(f["body"], body + "\r\n");  // the parser's reading, decoded, in the charset
    EXPECT_EQ(
        f["header-names"],
        "FROM,TO,SUBJECT,Date,Message-ID,MIME-Version,Content-Type,Content-Transfer-Encoding");
    // The date is the time of sending, in local time with the zone's offset.
    EXPECT_EQ(f["date-offset"], std::to_string(5 * 3600 + 30 * 60));
    const long long sent = std::atoll(f["date-utc"].c_str());
    EXPECT_GE(sent, before_);
    EXPECT_LE(sent, after_);
    EXPECT_TRUE(f["message-id"].starts_with("<")) << f["message-id"];
    EXPECT_TRUE(f["message-id"].ends_with("@site.example.com>")) << f["message-id"];

    const std::vector<std::string> envelope = server_->Envelope(1);
    EXPECT_EQ(envelope, (std::vector<std::string>{Sender, To[0], To[1], To[2]}));
}

TEST_F(SmtpRealServerTest, NonAsciiAndUnsafeHeaderTextsReadBackAsTheyWereMeant) {
    // A serial number with a line break, and enough non-ASCII text to need several words.
    const std::string subject =
        "Störung: Verstärker S/N 12\r\n34 · Überhitzung im Gerätegestell Nummer drei";
    ASSERT_EQ(Deliver("Hall A, Rack \"2\"", subject, "Text"), SmtpOk);

    auto f = Stored(1);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f["defects"], "0");
    EXPECT_EQ(f["subject"],
              "Störung: Verstärker S/N 12  34 · Überhitzung im Gerätegestell Nummer drei");
    EXPECT_EQ(f["from-name"], "Hall A, Rack \"2\"");
    EXPECT_EQ(f["from-address"], Sender);
    EXPECT_EQ(f["to"], To[0] + "," + To[1] + "," + To[2]);
}

// What a hostile device could put in its serial, in an alert's subject and body: a terminal
// title, a clear screen, a NUL and a C1 control. The mail reader sees escapes, the message
// carries no control byte but its line ends and the tab, and it still parses without a defect.
TEST_F(SmtpRealServerTest, ControlBytesReachNeitherTheSubjectNorTheBody) {
    const std::string serial =
        "H1\x1B]0;owned\x07\x1B[2J\0\xC2\x9B"
        "1m"s;
    const std::string shown = "H1\\x1B]0;owned\\x07\\x1B[2J\\x00\\xC2\\x9B1m";
    ASSERT_EQ(Deliver("AVLO Monitor", "AVLO Alert [RV12, # " + serial + "]: FAN FAILURE",
                      "Serial No:\t" + serial + "\r\nEnd"),
              SmtpOk);

    const auto path = server_->WaitMessage(1, 10s);
    ASSERT_TRUE(path.has_value());
    std::ifstream in(*path, std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const auto c = static_cast<unsigned char>(stored[i]);
        const bool lineEnd =
            c == '\n' || (c == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n');
        EXPECT_TRUE(lineEnd || c == '\t' || (c >= 0x20 && c < 0x7F))
            << "byte " << int(c) << " at " << i;
    }
    auto f = smtpsink::Parse(*path);
    ASSERT_FALSE(f.empty()) << "the mail parser could not read the stored message";
    EXPECT_EQ(f["defects"], "0");
    EXPECT_EQ(f["subject"], "AVLO Alert [RV12, # " + shown + "]: FAN FAILURE");
    EXPECT_EQ(f["body"], "Serial No:\t" + shown + "\r\nEnd\r\n");
}

TEST_F(SmtpRealServerTest, EachMessageHasItsOwnId) {
    ASSERT_EQ(Deliver("AVLO Monitor", "first", "Text"), SmtpOk);
    ASSERT_EQ(Deliver("AVLO Monitor", "second", "Text"), SmtpOk);
    auto first = Stored(1);
    auto second = Stored(2);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second["subject"], "second");
    EXPECT_NE(first["message-id"], second["message-id"]);
}

// The header's encoding of non-ASCII display names, read back with the same parser from a
// message written here: many names in one go, without a server round for each.
TEST(SmtpHeaderParseTest, NonAsciiDisplayNamesReadBackFromTheirEncodedWords) {
    if (!smtpsink::AiosmtpdInstalled()) {
        if (UnderCi()) FAIL() << "/usr/bin/python3 cannot import aiosmtpd";
        GTEST_SKIP() << "/usr/bin/python3 with Debian's packages is not usable";
    }
    const char* const names[] = {
        "Grüße",                                                    // one word, encoded
        "Überwachung Halle Süd · Gebäude 7 mit sehr langem Namen",  // words of both kinds
        "J. Müller, Technik",                                       // specials among them
    };
    for (const char* name : names) {
        SmtpMessageFields fields;
        fields.userName = name;
        fields.sender = Sender;
        fields.recipients = To;
        fields.subject = "x";
        fields.date = std::time(nullptr);
        fields.messageId = MakeSmtpMessageId(Sender);
        char path[] = "/tmp/avlo-smtp-header-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        const std::string message = BuildSmtpHeader(fields) + PrepareSmtpBody("Text") + "\r\n";
        const auto written = write(fd, message.data(), message.size());
        close(fd);
        ASSERT_EQ(written, static_cast<ssize_t>(message.size()));
        auto f = smtpsink::Parse(path);
        unlink(path);
        ASSERT_FALSE(f.empty()) << name;
        EXPECT_EQ(f["defects"], "0") << name << ": " << f["defect-list"];
        EXPECT_EQ(f["from-name"], name);
        EXPECT_EQ(f["from-address"], Sender) << name;
    }
}

}  // namespace
