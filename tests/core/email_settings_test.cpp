// The e-mail settings check of the core (the page's texts and focus moves are the window's).
#include "CoreFixture.h"
#include "notify/SmtpClientThread.h"

namespace {

class EmailSettingsTest : public CoreFixture {
protected:
    EmailSettingsTest() : CoreFixture(34) {}
    void SetUp() override {
        CoreFixture::SetUp();
        StartCore();
    }
};

// The settings check and the SMTP client read the port text alike: what one takes the other
// takes, ports below 1 aside (the check lets them through; the client refuses them).
TEST_F(EmailSettingsTest, ThePortIsReadAsTheClientReadsIt) {
    struct PortCase {
        const char* text;
        bool pageTakes;
        SmtpResult client;
    };
    const PortCase cases[] = {
        {"25", true, SmtpOk},
        {" 25", true, SmtpOk},
        {"25 ", true, SmtpOk},
        {"\t2525\t", true, SmtpOk},
        {"+25", true, SmtpOk},
        {"0", true, SmtpBadPort},
        {" -5", true, SmtpBadPort},
        {"2 5", false, SmtpBadPort},
        {" ", false, SmtpBadPort},
        {"70000", false, SmtpBadPort},
        {"99999999999", false, SmtpBadPort},
    };
    CSmtpClient client(0, nullptr, 0);
    for (const PortCase& c : cases) {
        SetEmail("127.0.0.1", c.text, "tech", "tech@example.com", "a@example.com");
        EXPECT_EQ(!core_->CheckEmailSettings().has_value(), c.pageTakes) << '"' << c.text << '"';
        EXPECT_EQ(client.SetServer("127.0.0.1", c.text), c.client) << '"' << c.text << '"';
    }
}

// The first fault names the field to correct; a later field's fault waits for it.
TEST_F(EmailSettingsTest, TheFirstFaultNamesItsField) {
    SetEmail("", "", "", "", "", "", "x");
    ASSERT_TRUE(core_->CheckEmailSettings());
    EXPECT_EQ(core_->CheckEmailSettings()->Field, EmailField::ServerIp);
    const struct {
        void (*fix)(EmailSettings_Type&);
        EmailField next;
    } steps[] = {
        {[](EmailSettings_Type& e) { e.server = "127.0.0.1"; }, EmailField::ServerPort},
        {[](EmailSettings_Type& e) { e.port = "25"; }, EmailField::UserName},
        {[](EmailSettings_Type& e) { e.userName = "tech"; }, EmailField::UserEmail},
        {[](EmailSettings_Type& e) { e.sender = "tech"; }, EmailField::UserEmail},
        {[](EmailSettings_Type& e) { e.sender = "tech@example.com"; }, EmailField::Email3},
        {[](EmailSettings_Type& e) { e.recipient[1] = "b"; }, EmailField::Email2},
        {[](EmailSettings_Type& e) { e.recipient[0] = "a"; }, EmailField::Email1},
    };
    for (const auto& step : steps) {
        step.fix(core_->EmailSettings);
        const auto fault = core_->CheckEmailSettings();
        ASSERT_TRUE(fault);
        EXPECT_EQ(fault->Field, step.next);
    }
    for (std::string& r : core_->EmailSettings.recipient) r += "@example.com";
    EXPECT_FALSE(core_->CheckEmailSettings());
}

}  // namespace
