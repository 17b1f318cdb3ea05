// The parts of the client that need no server: reply framing, command lines, header texts.
#include <gtest/gtest.h>

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

std::string DecodeBase64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        value = value << 6 | static_cast<unsigned>(digits.find(c));
        if ((bits += 6) >= 8) out += static_cast<char>((value >> (bits -= 8)) & 0xFF);
    }
    return out;
}

TEST(SmtpHeaderTextTest, LongNonAsciiTextIsSplitIntoWholeCharacterEncodedWords) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "Verstärker · Kanal ";  // 2-byte characters
    const std::string encoded = EncodeSmtpHeaderText(text);
    std::string decoded;
    std::size_t words = 0;
    for (std::size_t from = 0; from < encoded.size();) {
        std::size_t end = encoded.find("\r\n ", from);
        if (end == std::string::npos) end = encoded.size();
        const std::string word = encoded.substr(from, end - from);
        ASSERT_LE(word.size(), 75u);
        ASSERT_TRUE(word.starts_with("=?utf-8?B?") && word.ends_with("?=")) << word;
        const std::string bytes = DecodeBase64(word.substr(10, word.size() - 12));
        // Each word decodes on its own: it neither starts nor ends inside a character.
        EXPECT_NE(static_cast<unsigned char>(bytes.front()) & 0xC0, 0x80u);
        EXPECT_LT(static_cast<unsigned char>(bytes.back()), 0xC0u);
        decoded += bytes;
        ++words;
        from = end + 3;
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

}  // namespace
