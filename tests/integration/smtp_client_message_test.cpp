// The message as the server receives it after DATA: header lines and their order, the
// values that must not break the header, the quoted-printable body, dot-stuffing, line ends,
// folded encoded-words and the 1000-byte pieces.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "integration/SmtpClientFixture.h"
#include "support/ScopedTimeZone.h"

namespace {

using smtptest::Replies;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";

class SmtpMessageTest : public SmtpClientFixture {
protected:
    // Delivers with the standard dialogue and returns the message as the peer took it.
    std::string DeliverMessage() {
        EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, Whole)), SmtpOk);
        EXPECT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
        EXPECT_EQ(peer_->Failures(), std::vector<std::string>{});
        return peer_->Get(0).data;
    }
    static std::string Header(const std::string& message) {
        return message.substr(0, message.find("\r\n\r\n") + 2);
    }
    static std::string Body(const std::string& message) {
        return message.substr(message.find("\r\n\r\n") + 4);
    }
    // The value of the first header line that starts with `name`.
    static std::string Field(const std::string& message, const std::string& name) {
        const std::string header = "\r\n" + Header(message);
        const std::size_t at = header.find("\r\n" + name + ": ");
        if (at == std::string::npos) return "(missing)";
        const std::size_t from = at + name.size() + 4;
        return header.substr(from, header.find("\r\n", from) - from);
    }
};

TEST_F(SmtpMessageTest, HeaderLinesComeInTheirOrderAndTheEmptyLineEndsThem) {
    Configure();
    const std::string message = DeliverMessage();
    const std::regex shape(
        "FROM: Monitor<monitor@example\\.com>\r\n"
        "TO: tech1@example\\.com,tech2@example\\.com,tech3@example\\.com\r\n"
        "SUBJECT: Test subject\r\n"
        "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}\r\n"
        "Message-ID: <[!#-'*+/-9=?A-Z^-~.]+@example\\.com>\r\n"
        "MIME-Version: 1\\.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "Line one\r\nLine two\r\n");
    EXPECT_TRUE(std::regex_match(message, shape)) << message;
}

TEST_F(SmtpMessageTest, DateIsTheLocalTimeOfSendingWithItsOffset) {
    ScopedTimeZone zone("XYZ-05:30");  // POSIX sign: 5 h 30 min east of UTC
    Configure();
    const std::time_t before = std::time(nullptr);
    const std::string date = Field(DeliverMessage(), "Date");
    const std::time_t after = std::time(nullptr);
    std::tm fields{};
    char offset[8] = {};
    ASSERT_TRUE(strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S", &fields)) << date;
    ASSERT_EQ(std::sscanf(date.c_str() + date.size() - 5, "%5s", offset), 1);
    EXPECT_STREQ(offset, "+0530");
    const std::time_t sent = timegm(&fields) - (5 * 3600 + 30 * 60);
    EXPECT_GE(sent, before) << date;
    EXPECT_LE(sent, after) << date;
}

TEST_F(SmtpMessageTest, EachMessageHasItsOwnIdWithTheSendersDomain) {
    peer_->Serve(
        {smtptest::BuildScript(Replies{}, Whole), smtptest::BuildScript(Replies{}, Whole)});
    Configure();
    ASSERT_EQ(client_.Send(true), SmtpOk);
    ASSERT_EQ(client_.Send(true), SmtpOk);
    ASSERT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
    const std::string first = Field(peer_->Get(0).data, "Message-ID");
    const std::string second = Field(peer_->Get(1).data, "Message-ID");
    EXPECT_NE(first, second);
    EXPECT_TRUE(first.ends_with("@example.com>")) << first;
    EXPECT_TRUE(second.ends_with("@example.com>")) << second;
}

TEST_F(SmtpMessageTest, ALineBreakInTheSubjectBecomesABlank) {
    Configure();
    ASSERT_EQ(client_.SetSubject("Fault S/N 12\r\n34\nBcc: victim@example.org"), SmtpOk);
    const std::string message = DeliverMessage();
    EXPECT_EQ(Field(message, "SUBJECT"), "Fault S/N 12  34 Bcc: victim@example.org");
    EXPECT_EQ(Field(message, "Bcc"), "(missing)");
}

TEST_F(SmtpMessageTest, NonAsciiSubjectAndDisplayNameAreEncodedWords) {
    Configure();
    ASSERT_EQ(client_.SetSender(smtptest::Sender, "Grüße"), SmtpOk);
    ASSERT_EQ(client_.SetSubject("Grüße"), SmtpOk);
    // The user name is no part of the HELO line; only the header carries it, encoded.
    const std::string message = DeliverMessage();
    EXPECT_EQ(peer_->Get(0).lines.front(), smtptest::LineOf("HELO"));
    EXPECT_EQ(Field(message, "FROM"), "=?utf-8?B?R3LDvMOfZQ==?= <monitor@example.com>");
    EXPECT_EQ(Field(message, "SUBJECT"), "=?utf-8?B?R3LDvMOfZQ==?=");
}

TEST_F(SmtpMessageTest, BodyLinesStartingWithADotAreStuffedAndComeBackUnchanged) {
    const std::string body = ".\r\n.x\r\nplain\r\n..two\r\nend .\r\n.";
    Configure(smtptest::Recipients, body);
    const std::string message = DeliverMessage();
    EXPECT_EQ(Body(message), "..\r\n..x\r\nplain\r\n...two\r\nend .\r\n..\r\n");
    // Unstuffed, the quoted-printable text is the body itself: nothing in it needs encoding.
    // What a server makes of it after taking one dot off each line that starts with one.
    std::string unstuffed;
    std::size_t from = 0;
    const std::string wire = Body(message);
    while (from < wire.size()) {
        const std::size_t end = wire.find("\r\n", from) + 2;
        const std::size_t skip = wire[from] == '.' ? 1 : 0;
        unstuffed += wire.substr(from + skip, end - from - skip);
        from = end;
    }
    EXPECT_EQ(unstuffed, body + "\r\n");
    EXPECT_TRUE(peer_->Get(0).dataComplete);
}

TEST_F(SmtpMessageTest, LoneLineFeedsAndCarriageReturnsBecomeLineEnds) {
    Configure(smtptest::Recipients, "one\ntwo\rthree\r\nfour");
    EXPECT_EQ(Body(DeliverMessage()), "one\r\ntwo\r\nthree\r\nfour\r\n");
}

TEST_F(SmtpMessageTest, ABodyOf2500BytesGoesToTheSocketIn1000BytePieces) {
    // Lines short enough to pass the quoted-printable encoding unchanged.
    std::string body;
    while (body.size() < 2500) body += std::string(48, 'a' + body.size() / 50 % 26) + "\r\n";
    ASSERT_EQ(body.size(), 2500u);
    Configure(smtptest::Recipients, body);
    std::vector<std::size_t> pieces;
    ASSERT_EQ(client_.SetSendObserver([&pieces](std::size_t n) { pieces.push_back(n); }), SmtpOk);
    const std::string message = DeliverMessage();
    EXPECT_EQ(Body(message), body + "\r\n");
    // ... header, the body's three pieces, the end of data, QUIT.
    ASSERT_GE(pieces.size(), 6u);
    const std::vector<std::size_t> last(pieces.end() - 6, pieces.end());
    EXPECT_EQ(last, (std::vector<std::size_t>{Header(message).size() + 2, 1000, 1000, 500, 5, 6}));
}

// What a reader makes of the quoted-printable body: soft breaks dropped, "=XX" decoded.
std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

TEST_F(SmtpMessageTest, TheBodyTravelsAsQuotedPrintableWithinTheLineLimit) {
    const std::string bullet = "\xC2\xB7";  // the middle dot of the alert texts
    const std::string longLine =
        "Diese Meldung wurde vom Überwachungsprogramm erzeugt; bitte nicht antworten. " + bullet +
        " Ende";
    const std::string body = "Power Supply Condition:\r\n\t" + bullet +
                             " +12V: \tOUT OF LIMITS \r\n" + longLine + "\r\nx=1\r\n" +
                             std::string(80, '.');
    Configure(smtptest::Recipients, body);
    const std::string message = DeliverMessage();
    EXPECT_EQ(Field(message, "Content-Transfer-Encoding"), "quoted-printable");
    const std::string wire = Body(message);
    const std::string expected =
        "Power Supply Condition:\r\n"
        "\t=C2=B7 +12V: \tOUT OF LIMITS=20\r\n"
        "Diese Meldung wurde vom =C3=9Cberwachungsprogramm erzeugt; bitte nicht antw=\r\n"
        "orten. =C2=B7 Ende\r\n"
        "x=3D1\r\n";
    // Then 75 dots and a soft break, and 5 more: each line stuffed with one dot more.
    EXPECT_EQ(wire,
              expected + "." + std::string(75, '.') + "=\r\n" + "." + std::string(5, '.') + "\r\n");
    // Every byte 7-bit, every line (the stuffing dot aside) within 76 characters.
    std::string unstuffed;
    for (std::size_t from = 0; from < wire.size();) {
        const std::size_t end = wire.find("\r\n", from);
        ASSERT_NE(end, std::string::npos);
        const std::size_t skip = wire[from] == '.' ? 1 : 0;
        EXPECT_LE(end - from - skip, 76u) << wire.substr(from, end - from);
        unstuffed += wire.substr(from + skip, end + 2 - from - skip);
        from = end + 2;
    }
    for (char c : wire) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
    EXPECT_EQ(DecodeQuotedPrintable(unstuffed), body + "\r\n");
}

TEST_F(SmtpMessageTest, ALongNonAsciiSubjectIsFoldedIntoWholeCharacterWords) {
    std::string subject;
    for (int i = 0; i < 6; ++i) subject += "Störung Verstärker " + std::to_string(i) + " · ";
    Configure();
    ASSERT_EQ(client_.SetSubject(subject), SmtpOk);
    ASSERT_EQ(client_.SetSender(smtptest::Sender, "Überwachung Halle Süd · Gebäude"), SmtpOk);
    const std::string header = Header(DeliverMessage());
    std::size_t subjectLines = 0;
    bool inSubject = false;
    std::string folded;
    for (std::size_t from = 0; from < header.size();) {
        const std::size_t end = header.find("\r\n", from);
        const std::string line = header.substr(from, end - from);
        EXPECT_LE(line.size(), 76u) << line;
        if (line.starts_with("SUBJECT: "))
            inSubject = true;
        else if (!line.starts_with(" "))
            inSubject = false;
        if (inSubject) {
            ++subjectLines;
            folded += line;
        }
        from = end + 2;
    }
    EXPECT_GT(subjectLines, 2u);
    // Unfolded, the words decode to the subject; no word ends inside a character.
    const std::string value = folded.substr(9);
    std::string decoded;
    for (std::size_t from = 0; from < value.size();) {
        std::size_t end = value.find(' ', from);
        if (end == std::string::npos) end = value.size();
        const std::string word = value.substr(from, end - from);
        ASSERT_TRUE(word.starts_with("=?utf-8?B?") && word.ends_with("?=")) << word;
        const std::string bytes = smtptest::DecodeBase64(word.substr(10, word.size() - 12));
        EXPECT_NE(static_cast<unsigned char>(bytes.front()) & 0xC0, 0x80u) << word;
        EXPECT_LT(static_cast<unsigned char>(bytes.back()), 0xC0u) << word;
        decoded += bytes;
        from = end + 1;
    }
    EXPECT_EQ(decoded, subject);
}

}  // namespace
