#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "notify/SmtpClientThread.h"
#include "support/ScriptedSmtpPeer.h"
#include "support/SmtpTestDialogue.h"

// A client configured for the scripted peer of the test, delivering synchronously.
class SmtpClientFixture : public testing::Test {
protected:
    using P = ScriptedSmtpPeer;
    using Clock = std::chrono::steady_clock;

    void SetUp() override {
        peer_ = std::make_unique<ScriptedSmtpPeer>(smtptest::NextPeerAddress());
        ASSERT_TRUE(peer_->Listening()) << "cannot listen on " << peer_->Address();
        ASSERT_EQ(client_.SetHostNameSource(smtptest::TestHostName), SmtpOk);
    }

    void Configure(const std::array<std::string, 3>& recipients = smtptest::Recipients,
                   const std::string& body = "Line one\r\nLine two") {
        ASSERT_EQ(client_.SetServer(peer_->Address(), peer_->PortText()), SmtpOk);
        ASSERT_EQ(client_.SetSender(smtptest::Sender, smtptest::User), SmtpOk);
        ASSERT_EQ(client_.SetRecipients(recipients[0], recipients[1], recipients[2]), SmtpOk);
        ASSERT_EQ(client_.SetSubject("Test subject"), SmtpOk);
        ASSERT_EQ(client_.SetBody(body), SmtpOk);
    }

    // Serves the script, delivers synchronously and returns the outcome; the time the
    // delivery took is kept in elapsedMs_.
    SmtpResult DeliverWith(const ScriptedSmtpPeer::Script& script) {
        peer_->Serve(script);
        const auto start = Clock::now();
        const SmtpResult result = client_.Send(true);
        elapsedMs_ =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        return result;
    }

    // Checks that the client sent exactly these commands (tokens of SmtpTestDialogue.h)
    // and that the peer saw nothing out of turn.
    void ExpectSent(const std::string& tokens) {
        ASSERT_TRUE(peer_->WaitFinished(std::chrono::seconds(15)));
        EXPECT_EQ(peer_->Get(0).lines, smtptest::ExpectedLines(tokens));
        EXPECT_EQ(peer_->Failures(), std::vector<std::string>{});
    }

    std::unique_ptr<ScriptedSmtpPeer> peer_;
    CSmtpClient client_{0, nullptr, 0};
    long long elapsedMs_ = 0;
};
