// The setters: what each refuses with which code, and that a refused or busy call stores
// nothing (Send then still finds the texts as they were).
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "integration/SmtpClientFixture.h"

namespace {

using smtptest::Replies;
constexpr const char* Whole = "HELO RSET MAIL R1 R2 R3 DATA MSG QUIT";
const std::string Valid = "127.0.12.1";

enum class Group { Server, Sender, Recipients };

struct SetterCase {
    const char* name;
    Group group;
    std::vector<std::string> args;
    SmtpResult result;
};

SmtpResult Call(CSmtpClient& client, Group group, const std::vector<std::string>& a) {
    switch (group) {
        case Group::Server:
            return client.SetServer(a[0], a[1]);
        case Group::Sender:
            return client.SetSender(a[0], a[1]);
        case Group::Recipients:
            return client.SetRecipients(a[0], a[1], a[2]);
    }
    return SmtpBusy;
}

const std::string Injected = "a@b\r\nRCPT TO:<x@y>";

const SetterCase SetterCases[] = {
    {"ServerEmpty", Group::Server, {"", "25"}, SmtpBadServer},
    {"Server257", Group::Server, {std::string(257, 's'), "25"}, SmtpBadServer},
    {"ServerWithLineBreak", Group::Server, {"mail\r\n.example", "25"}, SmtpBadServer},
    {"ServerBeforePort", Group::Server, {"", "0"}, SmtpBadServer},
    {"PortZero", Group::Server, {Valid, "0"}, SmtpBadPort},
    {"Port65536", Group::Server, {Valid, "65536"}, SmtpBadPort},
    {"PortText", Group::Server, {Valid, "abc"}, SmtpBadPort},
    {"PortEmpty", Group::Server, {Valid, ""}, SmtpBadPort},
    {"PortSigned", Group::Server, {Valid, "-25"}, SmtpBadPort},
    {"PortBlanksOnly", Group::Server, {Valid, "  "}, SmtpBadPort},
    {"PortWithInnerBlank", Group::Server, {Valid, "2 5"}, SmtpBadPort},
    {"PortWithLineBreak", Group::Server, {Valid, "25\r\n"}, SmtpBadPort},
    {"PortHuge", Group::Server, {Valid, "99999999999999999999"}, SmtpBadPort},
    {"SenderEmpty", Group::Sender, {"", "Monitor"}, SmtpBadSender},
    {"Sender257", Group::Sender, {std::string(257, 'm'), "Monitor"}, SmtpBadSender},
    {"SenderInjected", Group::Sender, {Injected, "Monitor"}, SmtpBadSender},
    {"SenderBeforeUserName", Group::Sender, {"", ""}, SmtpBadSender},
    {"UserNameEmpty", Group::Sender, {"m@example.com", ""}, SmtpBadUserName},
    {"UserName65", Group::Sender, {"m@example.com", std::string(65, 'u')}, SmtpBadUserName},
    {"UserNameWithLineBreak", Group::Sender, {"m@example.com", "Mon\nitor"}, SmtpBadUserName},
    {"NoRecipient", Group::Recipients, {"", "", ""}, SmtpBadRecipients},
    {"Recipient1Injected", Group::Recipients, {Injected, "", ""}, SmtpBadRecipients},
    {"Recipient3WithCr", Group::Recipients, {"a@b", "c@d", "e@f\rx"}, SmtpBadRecipients},
};

// Failures name the case, not its bytes.
void PrintTo(const SetterCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpSetterTest : public testing::TestWithParam<SetterCase> {};

TEST_P(SmtpSetterTest, RefusesWithItsCodeAndStoresNothing) {
    const SetterCase& c = GetParam();
    CSmtpClient client(0, nullptr, 0);
    // Everything else valid, so that Send names exactly what the refused call left unset.
    if (c.group != Group::Server) {
        ASSERT_EQ(client.SetServer(Valid, "25"), SmtpOk);
    }
    if (c.group != Group::Sender) {
        ASSERT_EQ(client.SetSender("m@example.com", "M"), SmtpOk);
    }
    if (c.group != Group::Recipients) {
        ASSERT_EQ(client.SetRecipients("r@example.com", "", ""), SmtpOk);
    }
    EXPECT_EQ(Call(client, c.group, c.args), c.result);
    const SmtpResult unset = c.group == Group::Server   ? SmtpBadServer
                             : c.group == Group::Sender ? SmtpBadSender
                                                        : SmtpBadRecipients;
    EXPECT_EQ(client.Send(true), unset);
}

INSTANTIATE_TEST_SUITE_P(Refusals, SmtpSetterTest, testing::ValuesIn(SetterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpSetterLimitsTest, AcceptsTextsUpToTheirLimits) {
    CSmtpClient client(0, nullptr, 0);
    EXPECT_EQ(client.SetServer(std::string(256, 's'), "1"), SmtpOk);
    EXPECT_EQ(client.SetServer(Valid, "65535"), SmtpOk);
    EXPECT_EQ(client.SetServer(Valid, "025"), SmtpOk);
    // Read as the e-mail page reads it: blanks around it and a plus sign are no fault.
    EXPECT_EQ(client.SetServer(Valid, " 25\t"), SmtpOk);
    EXPECT_EQ(client.SetServer(Valid, "+25"), SmtpOk);
    EXPECT_EQ(client.SetSender(std::string(256, 'm'), std::string(64, 'u')), SmtpOk);
    EXPECT_EQ(client.SetRecipients("", "", "r@example.com"), SmtpOk);
    EXPECT_EQ(client.SetSubject("any\r\ntext"), SmtpOk);
    EXPECT_EQ(client.SetBody(""), SmtpOk);
}

TEST(SmtpSetterLimitsTest, SendChecksServerPortSenderUserNameRecipientsInThatOrder) {
    CSmtpClient client(0, nullptr, 0);
    EXPECT_EQ(client.Send(true), SmtpBadServer);
    EXPECT_EQ(client.Send(false), SmtpBadServer);
    ASSERT_EQ(client.SetServer(Valid, "25"), SmtpOk);
    EXPECT_EQ(client.Send(true), SmtpBadSender);
    ASSERT_EQ(client.SetSender("m@example.com", "M"), SmtpOk);
    EXPECT_EQ(client.Send(true), SmtpBadRecipients);
}

using SmtpStoredTextsTest = SmtpClientFixture;

TEST_F(SmtpStoredTextsTest, RefusedCallsLeaveTheEarlierTextsInPlace) {
    Configure();
    EXPECT_EQ(client_.SetServer(peer_->Address(), "0"), SmtpBadPort);
    EXPECT_EQ(client_.SetSender(Injected, smtptest::User), SmtpBadSender);
    EXPECT_EQ(client_.SetSender("other@example.com", "Other\r\nName"), SmtpBadUserName);
    EXPECT_EQ(client_.SetRecipients("x@example.com", Injected, ""), SmtpBadRecipients);
    EXPECT_EQ(DeliverWith(smtptest::BuildScript(Replies{}, Whole)), SmtpOk);
    ExpectSent(Whole);
}

TEST_F(SmtpStoredTextsTest, EverySetterAndSendAreBusyWhileADeliveryRuns) {
    Configure();
    // The greeting comes late, so that the delivery is surely running meanwhile.
    P::Script script = smtptest::BuildScript(Replies{}, Whole);
    script.front().ms = 1500;
    peer_->Serve(script);
    auto delivery = std::async(std::launch::async, [this] { return client_.Send(true); });
    ASSERT_TRUE(peer_->WaitAccepted(1, std::chrono::seconds(5)));
    EXPECT_EQ(client_.SetServer("127.0.12.250", "2525"), SmtpBusy);
    EXPECT_EQ(client_.SetSender("other@example.com", "Other"), SmtpBusy);
    EXPECT_EQ(client_.SetRecipients("other@example.com", "", ""), SmtpBusy);
    EXPECT_EQ(client_.SetSubject("changed"), SmtpBusy);
    EXPECT_EQ(client_.SetBody("changed"), SmtpBusy);
    EXPECT_EQ(client_.SetSendObserver([](std::size_t) {}), SmtpBusy);
    EXPECT_EQ(client_.Send(true), SmtpBusy);
    EXPECT_EQ(client_.Send(false), SmtpBusy);
    EXPECT_EQ(delivery.get(), SmtpOk);
    ExpectSent(Whole);
    const std::string message = peer_->Get(0).data;
    EXPECT_NE(message.find("SUBJECT: Test subject\r\n"), std::string::npos) << message;
    EXPECT_TRUE(message.ends_with("\r\n\r\nLine one\r\nLine two\r\n")) << message;
    // Idle again: the setters work.
    EXPECT_EQ(client_.SetSubject("changed"), SmtpOk);
}

}  // namespace
