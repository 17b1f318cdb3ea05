// The parts of the client that need no server: reply framing, command lines, header texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "notify/SmtpMessage.h"
#include "notify/SmtpProtocol.h"
#include "support/ScopedTimeZone.h"
#include "support/SmtpTestDialogue.h"

namespace {

std::vector<int> TakeAll(CSmtpReplyReader& reader) {
    std::vector<int> codes;
    for (int code = 0; reader.TakeReply(code);) codes.push_back(code);
    return codes;
}

TEST(SmtpReplyReaderTest, BytesAfterAReplyStayForTheNextOne) {
    CSmtpReplyReader reader;
    const std::string two = "250-a\r\n250 b\r\n354 go";
    reader.Add(two.data(), two.size());
    EXPECT_EQ(TakeAll(reader), std::vector<int>{250});
    const std::string rest = " ahead\r\n";
    reader.Add(rest.data(), rest.size());
    EXPECT_EQ(TakeAll(reader), std::vector<int>{354});
    EXPECT_TRUE(reader.Empty());
}

TEST(SmtpReplyReaderTest, OnlyAFinalLineEndsAReply) {
    struct Case {
        std::string bytes;
        std::vector<int> codes;
    };
    const Case cases[] = {
        {"220 ready", {}},                    // the line end has not come
        {"220-first\r\n220-second\r\n", {}},  // continuations only
        {"220-first\n220 last\n", {220}},     // bare line feeds end lines too
        {"220\r\n", {220}},                   // three digits and the line end
        {"2x0 odd\r\n", {-1}},                // not a number
        {"22\r\n", {-1}},                     // too short
        {"2200 too long a code\r\n", {-1}},   // neither blank nor line end after the code
        {"220-a\r\n554 no\r\n", {554}},       // the final line's code counts
    };
    for (const Case& c : cases) {
        CSmtpReplyReader reader;
        reader.Add(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(TakeAll(reader), c.codes) << c.bytes;
    }
}

TEST(SmtpReplyReaderTest, ContinuationsWithoutEndAreCutOff) {
    CSmtpReplyReader reader;
    const std::string line = "250-" + std::string(95, 'x') + "\r\n";
    for (std::size_t sent = 0; sent <= CSmtpReplyReader::MaxReplyBytes; sent += line.size()) {
        reader.Add(line.data(), line.size());
    }
    EXPECT_EQ(TakeAll(reader), std::vector<int>{-1});
}

TEST(SmtpCommandTest, CommandLinesMustBeShorterThan512Characters) {
    std::string text;
    // "RCPT TO:<" + argument + ">\r\n" is 12 characters around the argument.
    EXPECT_EQ(BuildSmtpCommand(SmtpCmdRcptTo, std::string(499, 'a'), text), SmtpOk);
    EXPECT_EQ(text.size(), 511u);
    EXPECT_EQ(BuildSmtpCommand(SmtpCmdRcptTo, std::string(500, 'a'), text), SmtpBadCommand);
    EXPECT_EQ(BuildSmtpCommand(SmtpCommandCount, "", text), SmtpBadCommand);
    EXPECT_EQ(BuildSmtpCommand(-1, "", text), SmtpBadCommand);
    EXPECT_EQ(BuildSmtpCommand(SmtpCmdEndOfData, "ignored", text), SmtpOk);
    EXPECT_EQ(text, "\r\n.\r\n");
    EXPECT_EQ(BuildSmtpCommand(SmtpCmdGreeting, "", text), SmtpOk);
    EXPECT_EQ(text, "");
}

TEST(SmtpHeaderTextTest, DateIsRfc5322LocalTimeWithItsOffset) {
    struct Case {
        const char* tz;
        const char* expected;
    };
    // 2025-02-13 14:05:09 UTC; the POSIX zone sign is the opposite of the RFC one.
    const std::time_t t = 1739455509;
    const Case cases[] = {
        {"UTC0", "Thu, 13 Feb 2025 14:05:09 +0000"},
        {"XYZ-05:30", "Thu, 13 Feb 2025 19:35:09 +0530"},
        {"XYZ+10", "Thu, 13 Feb 2025 04:05:09 -1000"},
        {"XYZ+14:45", "Wed, 12 Feb 2025 23:20:09 -1445"},
    };
    for (const Case& c : cases) {
        ScopedTimeZone zone(c.tz);
        EXPECT_EQ(FormatSmtpDate(t), c.expected) << c.tz;
    }
}

TEST(SmtpHeaderTextTest, MessageIdsAreUniqueAndCarryTheSendersDomain) {
    const std::string a = MakeSmtpMessageId("monitor@site.example.com");
    const std::string b = MakeSmtpMessageId("monitor@site.example.com");
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.starts_with("<") && a.ends_with("@site.example.com>")) << a;
    // Without a usable domain the id still has a valid one.
    EXPECT_TRUE(MakeSmtpMessageId("monitor").ends_with("@localhost>"));
    EXPECT_TRUE(MakeSmtpMessageId("a@b c").ends_with("@localhost>"));
}

TEST(SmtpHeaderTextTest, LongNonAsciiTextIsSplitIntoWholeCharacterEncodedWords) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "Verstärker · Kanal ";  // 2-byte characters
    const std::string encoded = EncodeSmtpHeaderText(text);
    std::string decoded;
    std::size_t words = 0;
    for (std::size_t from = 0; from < encoded.size();) {
        std::size_t end = encoded.find(' ', from);
        if (end == std::string::npos) end = encoded.size();
        const std::string word = encoded.substr(from, end - from);
        // Small enough that "SUBJECT: " and the word stay within 76 characters.
        ASSERT_LE(word.size(), 76u - 9u);
        ASSERT_TRUE(word.starts_with("=?utf-8?B?") && word.ends_with("?=")) << word;
        const std::string bytes = smtptest::DecodeBase64(word.substr(10, word.size() - 12));
        // Each word decodes on its own: it neither starts nor ends inside a character.
        EXPECT_NE(static_cast<unsigned char>(bytes.front()) & 0xC0, 0x80u);
        EXPECT_LT(static_cast<unsigned char>(bytes.back()), 0xC0u);
        decoded += bytes;
        ++words;
        from = end + 1;
    }
    EXPECT_GT(words, 1u);
    EXPECT_EQ(decoded, text);
}

TEST(SmtpHeaderTextTest, TextIsEncodedOnlyWhenItMustBe) {
    EXPECT_EQ(EncodeSmtpHeaderText("Amplifier fault"), "Amplifier fault");
    EXPECT_EQ(EncodeSmtpHeaderText("Grüße"), "=?utf-8?B?R3LDvMOfZQ==?=");
    // Text that looks like an encoded-word would be decoded by the reader.
    EXPECT_EQ(EncodeSmtpHeaderText("=?x?"), "=?utf-8?B?PT94Pw==?=");
    EXPECT_EQ(EncodeSmtpDisplayName("AVLO Monitor"), "AVLO Monitor");
    EXPECT_EQ(EncodeSmtpDisplayName("Hall A, Rack \"2\""), "\"Hall A, Rack \\\"2\\\"\"");
    EXPECT_EQ(EncodeSmtpDisplayName("Grüße"), "=?utf-8?B?R3LDvMOfZQ==?=");
    // Plain words stay; neighbouring words that are not take their blank into one word.
    EXPECT_EQ(EncodeSmtpDisplayName("Halle Süd · 2"), "Halle =?utf-8?B?U8O8ZCDCtw==?= 2");
    EXPECT_EQ(EncodeSmtpDisplayName("Süd, Rack"), "=?utf-8?B?U8O8ZCw=?= Rack");
    EXPECT_EQ(FormatSmtpFrom("Monitor", "m@example.com"), "Monitor<m@example.com>");
    EXPECT_EQ(FormatSmtpFrom("Süd", "m@example.com"), "=?utf-8?B?U8O8ZA==?= <m@example.com>");
}

TEST(SmtpHeaderTextTest, FoldingKeepsLinesWithin76AndUnfoldsToTheSameLine) {
    std::string text;
    for (int i = 0; i < 12; ++i) text += "Überhitzung · Kanal " + std::to_string(i) + " ";
    const std::string line = "SUBJECT: " + EncodeSmtpHeaderText(text);
    const std::string folded = FoldSmtpHeaderLine(line);
    std::size_t lines = 0;
    for (std::size_t from = 0; from <= folded.size(); ++lines) {
        std::size_t end = folded.find("\r\n", from);
        if (end == std::string::npos) end = folded.size();
        EXPECT_LE(end - from, 76u) << folded.substr(from, end - from);
        // A continuation line starts with its blank and holds more than blanks.
        if (from > 0) {
            EXPECT_EQ(folded[from], ' ');
            EXPECT_NE(folded.find_first_not_of(' ', from), end);
        }
        from = end + 2;
    }
    EXPECT_GT(lines, 2u);
    std::string unfolded = folded;
    for (std::size_t at; (at = unfolded.find("\r\n")) != std::string::npos;) unfolded.erase(at, 2);
    EXPECT_EQ(unfolded, line);
    // Never at the blank after the colon, even when the first word is long.
    const std::string longWord = "FROM: " + std::string(80, 'x') + " <m@example.com>";
    EXPECT_EQ(FoldSmtpHeaderLine(longWord),
              "FROM: " + std::string(80, 'x') + "\r\n <m@example.com>");
    EXPECT_EQ(FoldSmtpHeaderLine("SUBJECT: short one"), "SUBJECT: short one");
}

TEST(SmtpQuotedPrintableTest, EncodesWhatMustBeAndKeepsLinesWithin76) {
    struct Case {
        const char* name;
        std::string body;
        std::string encoded;
    };
    const std::string a75(75, 'a');
    const Case cases[] = {
        {"plain", "Amplifier fault", "Amplifier fault"},
        {"bullet and equals", "\xC2\xB7 x=1", "=C2=B7 x=3D1"},
        {"line ends of every kind", "a\r\nb\nc\rd", "a\r\nb\r\nc\r\nd"},
        {"blank before a break", "a \r\nb\t\r\n", "a=20\r\nb=09\r\n"},
        {"blank at the end", "end ", "end=20"},
        {"blanks inside stay", "a \tb", "a \tb"},
        {"control byte", std::string("a\0b\x7F", 4), "a=00b=7F"},
        {"76 fit on a last line", a75 + "b", a75 + "b"},
        {"77 do not", a75 + "bc", a75 + "=\r\nbc"},
        {"76 before a break", a75 + "b\r\nc", a75 + "b\r\nc"},
        {"a triplet is never cut", std::string(74, 'a') + "\xC2\xB7",
         std::string(74, 'a') + "=\r\n=C2=B7"},
        {"a blank before a soft break stays", std::string(74, 'a') + " bb",
         std::string(74, 'a') + " =\r\nbb"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeSmtpQuotedPrintable(c.body), c.encoded) << c.name;
    }
}

TEST(SmtpQuotedPrintableTest, DotStuffingComesAfterTheEncoding) {
    // A soft break can put a "." at the start of an encoded line that did not start one.
    const std::string body = std::string(75, 'a') + ".x\r\n.\r\n=.";
    EXPECT_EQ(PrepareSmtpBody(body), std::string(75, 'a') + "=\r\n..x\r\n..\r\n=3D.");
}

TEST(SmtpPortTextTest, ReadsTheWayThePageAndTheClientBothRead) {
    struct Case {
        const char* text;
        std::optional<int> value;
        int port;  // what the client uses, 0 for none
    };
    const Case cases[] = {
        {"25", 25, 25},
        {" 25", 25, 25},
        {"25 \t", 25, 25},
        {"+25", 25, 25},
        {"025", 25, 25},
        {"65535", 65535, 65535},
        {"0", 0, 0},
        {"-5", -5, 0},
        {"70000", 70000, 0},
        {"", std::nullopt, 0},
        {"  ", std::nullopt, 0},
        {"2 5", std::nullopt, 0},
        {"2x5", std::nullopt, 0},
        {"+", std::nullopt, 0},
        {"25\r\n", std::nullopt, 0},
        {"2147483647", 2147483647, 0},
        {"2147483648", std::nullopt, 0},
        {"-2147483648", -2147483647 - 1, 0},
        {"99999999999999999999", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadSmtpPortText(c.text), c.value) << '"' << c.text << '"';
        EXPECT_EQ(SmtpPortNumber(c.text), c.port) << '"' << c.text << '"';
    }
}

TEST(SmtpHeloNameTest, DomainNamesThatStrictServersTake) {
    const std::string label63(63, 'a');
    // 4 labels of 63 and the dots: 255; one label shorter gives exactly 253.
    const std::string name253 =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const std::pair<std::string, bool> cases[] = {
        {"monitor-pc.site.test", true},
        {"amp-rack", true},
        {"A1.b-2.C3", true},
        {"x", true},
        {label63 + ".test", true},
        {name253, true},
        {name253 + "c", false},
        {std::string(64, 'a') + ".test", false},
        {"", false},
        {"AVLO Monitor", false},
        {"j.smith@isp.com", false},
        {"-monitor.test", false},
        {"monitor-.test", false},
        {"monitor..test", false},
        {".monitor.test", false},
        {"monitor.test.", false},
        {"monitor_pc.test", false},
        {"gr\xC3\xBC\xC3\x9F.test", false},
        {"192.0.2.7", false},
        {"1234", false},
        {"host.123", false},
        {"123.host", true},
    };
    for (const auto& [name, valid] : cases) EXPECT_EQ(IsValidSmtpDomainName(name), valid) << name;
}

TEST(SmtpHeloNameTest, AddressLiteralsOfEveryFamily) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.12.9", &v4.sin_addr);
    EXPECT_EQ(FormatSmtpAddressLiteral(reinterpret_cast<const sockaddr*>(&v4)), "[127.0.12.9]");
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::1", &v6.sin6_addr);
    EXPECT_EQ(FormatSmtpAddressLiteral(reinterpret_cast<const sockaddr*>(&v6)), "[IPv6:::1]");
    inet_pton(AF_INET6, "fe80::1:2", &v6.sin6_addr);
    EXPECT_EQ(FormatSmtpAddressLiteral(reinterpret_cast<const sockaddr*>(&v6)), "[IPv6:fe80::1:2]");
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr);
    EXPECT_EQ(FormatSmtpAddressLiteral(reinterpret_cast<const sockaddr*>(&v6)), "[127.0.0.1]");
    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(FormatSmtpAddressLiteral(&other), "");

    EXPECT_EQ(ChooseSmtpHeloName("monitor-pc.site.test", "[127.0.0.1]"), "monitor-pc.site.test");
    EXPECT_EQ(ChooseSmtpHeloName("AVLO Monitor", "[127.0.0.1]"), "[127.0.0.1]");
    EXPECT_EQ(ChooseSmtpHeloName("AVLO Monitor", "[IPv6:::1]"), "[IPv6:::1]");
}

}  // namespace
