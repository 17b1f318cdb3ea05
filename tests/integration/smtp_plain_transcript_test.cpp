// The plain, anonymous delivery must keep sending exactly what it always sent: its whole
// dialogue, message included, against a transcript recorded before the client learnt
// encryption and sign-in. Only the sending time and the message id change between runs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "integration/SmtpClientFixture.h"

namespace {

std::string FixturePath() {
    const char* root = std::getenv("AVLO_SOURCE_DIR");
    const std::string base = root ? std::string(root) + "/tests/integration" : ".";
    return base + "/fixtures/plain_dialogue.txt";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One line per command and per message line, "C: " before each; the two header lines that
// differ with every delivery keep only their names.
std::string Transcript(const ScriptedSmtpPeer::Session& session) {
    std::string out;
    for (const std::string& line : session.lines) out += "C: " + line + "\n";
    std::istringstream data(session.data);
    out += "DATA:\n";
    for (std::string line; std::getline(data, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("Date: ")) line = "Date: *";
        if (line.starts_with("Message-ID: ")) line = "Message-ID: *";
        out += "D: " + line + "\n";
    }
    return out;
}

class SmtpPlainTranscriptTest : public SmtpClientFixture {};

TEST_F(SmtpPlainTranscriptTest, ThePlainAnonymousDialogueIsByteForByteTheRecordedOne) {
    Configure(smtptest::Recipients, "Amplifier fault\r\n\xC2\xB7 Channel 3: protect\r\n.end");
    ASSERT_EQ(DeliverWith(smtptest::BuildScript(smtptest::Replies{},
                                                "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT")),
              SmtpOk);
    ASSERT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
    EXPECT_EQ(peer_->Failures(), std::vector<std::string>{});
    const std::string expected = ReadFile(FixturePath());
    ASSERT_FALSE(expected.empty()) << "no recorded transcript at " << FixturePath();
    EXPECT_EQ(Transcript(peer_->Get(0)), expected);
}

}  // namespace
