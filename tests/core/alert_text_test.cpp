// The alert e-mail's text: subject, body sections, on-time and the details sections.
#include "CoreFixture.h"

namespace {


class AlertTextTest : public CoreFixture {
protected:
    AlertTextTest() : CoreFixture(13) {}
    void SetUp() override {
        CoreFixture::SetUp();
        StartCore();
        DeviceContext c = Ctx("Stage left", Address(2), false);
        c.ModelCode = 3;
        c.Serial = "10203040";
        id_ = core_->AddDevice(&c);
        ASSERT_GT(id_, 0);
    }
    CMonitorCore::Device& Dev() { return *core_->FindDeviceById(static_cast<std::uint16_t>(id_)); }
    int id_ = -1;
};

TEST_F(AlertTextTest, WorkedExampleByteForByte) {
    DeviceStatus s = HealthyStatus();
    s.FanOk[1] = 0;
    s.SupplyOk[1] = 0;
    s.OperatingMinutes = 1505;
    EXPECT_EQ(core_->AlertSubject(Dev(), s), "AVLO Alert [RV12, # 10203040]: FAN FAILURE, POWER SUPPLY FAILURE");
    EXPECT_EQ(core_->AlertBody(Dev(), s),
              "Model:\t\tRV12\r\n"
              "Serial No:\t10203040\r\n"
              "\r\n"
              "Output Channels Condition:\r\n"
              "\tChannel 1: \tOK\r\n"
              "\tChannel 2: \tFAN FAILURE\r\n"
              "\tChannel 3: \tOK\r\n"
              "\tChannel 4: \tOK\r\n"
              "\tChannel 5: \tOK\r\n"
              "\r\n"
              "Power Supply Condition:\r\n"
              "\t-5V: \t\tOK\r\n"
              "\t+12V: \t\tOUT OF LIMITS\r\n"
              "\t+72V (A): \tOK\r\n"
              "\t+72V (B): \tOK\r\n"
              "\r\n"
              "Total On Time: 25 h 5 min\r\n");
}

TEST_F(AlertTextTest, OnTimeTexts) {
    const struct {
        std::int32_t minutes;
        const char* text;
    } table[] = {{0, "\r\nTotal On Time: Not Available\r\n"},
                 {59, "\r\nTotal On Time: 59 min\r\n"},
                 {60, "\r\nTotal On Time: 1 h 0 min\r\n"},
                 {1505, "\r\nTotal On Time: 25 h 5 min\r\n"},
                 {-1, "\r\nTotal On Time: 71582788 h 15 min\r\n"}};  // read as unsigned
    for (const auto& row : table) {
        DeviceStatus s = HealthyStatus();
        s.OperatingMinutes = row.minutes;
        EXPECT_EQ(CMonitorCore::OnTimeSection(s), row.text) << row.minutes;
    }
}

TEST_F(AlertTextTest, TwoChannelModelListsOnlyItsChannels) {
    Dev().ModelCode = 1;
    DeviceStatus s = HealthyStatus();
    s.ChannelOk[4] = 0;  // a position the model does not have
    EXPECT_EQ(core_->AlertSubject(Dev(), s), "AVLO Alert [RV10, # 10203040]: CHANNEL FAILURE");
    EXPECT_EQ(core_->ChannelSection(Dev(), s),
              "\r\nOutput Channels Condition:\r\n\tChannel 1: \tOK\r\n\tChannel 2: \tOK\r\n");
    Dev().ModelCode = 0;
    EXPECT_EQ(core_->ChannelSection(Dev(), s), "\r\nOutput Channels Condition:\r\n");
    Dev().Serial = "";
    EXPECT_EQ(core_->AlertSubject(Dev(), s), "AVLO Alert [Unknown, # ]: CHANNEL FAILURE");
}

// The serial is the device's own text; in the alert it must not forge a line of the body
// nor bring a control to the reader.
TEST_F(AlertTextTest, ASerialWithControlsIsShownEscapedInSubjectAndBody) {
    Dev().Serial = std::string("H1\x1B]0;x\x07\r\nModel:\tfake\0", 22);
    DeviceStatus s = HealthyStatus();
    s.FanOk[0] = 0;
    const std::string shown = "H1\\x1B]0;x\\x07\\x0D\\x0AModel:\\x09fake\\x00";
    EXPECT_EQ(core_->AlertSubject(Dev(), s), "AVLO Alert [RV12, # " + shown + "]: FAN FAILURE");
    const std::string body = core_->AlertBody(Dev(), s);
    EXPECT_EQ(body.substr(0, body.find("\r\n\r\n")), "Model:\t\tRV12\r\nSerial No:\t" + shown);
    // The device record keeps what the device sent, for comparing with its next reply.
    EXPECT_EQ(Dev().Serial.size(), 22u);
}

TEST_F(AlertTextTest, ChannelLineOrderAndRange) {
    DeviceStatus s = HealthyStatus();
    s.ChannelOk[6] = s.FanOk[6] = s.TempOk[6] = s.CurrentOk[6] = 0;
    EXPECT_EQ(CMonitorCore::ChannelLine(6, s),
              "\tChannel 7: \tCHANNEL FAILURE, FAN FAILURE, HIGH TEMPERATURE, OVER-CURRENT\r\n");
    EXPECT_EQ(CMonitorCore::ChannelLine(7, s), "");
    EXPECT_EQ(CMonitorCore::ChannelLine(-1, s), "");
    EXPECT_EQ(core_->AlertSubject(Dev(), s),
              "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, HIGH TEMPERATURE, FAN FAILURE, OVER-CURRENT");
}

TEST_F(AlertTextTest, CustomerAndInstallerSections) {
    core_->AdvancedEmail.Customer = true;
    core_->AdvancedEmail.CustomerName = "Grand Hall";
    core_->AdvancedEmail.CustomerPhone = "555 0100";
    core_->AdvancedEmail.ByEmail = false;
    core_->AdvancedEmail.Installer = true;
    core_->AdvancedEmail.InstallerName = "Sound & Co";
    core_->AdvancedEmail.InstallDay = "07";
    core_->AdvancedEmail.InstallMonth = "03";
    core_->AdvancedEmail.InstallYear = "24";
    const std::string customer =
        "\r\nCustomer's Details:\r\n\t\xC2\xB7 Name: \t\t\tGrand Hall\r\n\t\xC2\xB7 Telephone No: \t\t\t555 0100"
        "\r\n\t\xC2\xB7 Preferred Method of Contact: \tTelephone\r\n";
    const std::string installer =
        "\r\nInstaller's Details:\r\n\t\xC2\xB7 Name: \t\t\tSound & Co\r\n"
        "\t\xC2\xB7 Installation Date (dd/mm/yy): \t07/03/24\r\n";
    EXPECT_EQ(core_->CustomerSection(), customer);
    EXPECT_EQ(core_->InstallerSection(), installer);
    DeviceStatus s = HealthyStatus();
    s.OperatingMinutes = 5;
    const std::string body = core_->AlertBody(Dev(), s);
    EXPECT_EQ(body.substr(body.size() - customer.size() - installer.size()), customer + installer);
    core_->AdvancedEmail.ByEmail = true;
    EXPECT_NE(core_->CustomerSection().find("Contact: \tE-mail\r\n"), std::string::npos);

    core_->AdvancedEmail.Customer = false;
    core_->AdvancedEmail.Installer = false;
    const std::string plain = core_->AlertBody(Dev(), s);
    const std::string end = "Total On Time: 5 min\r\n";
    EXPECT_EQ(plain.substr(plain.size() - end.size()), end);
}

}  // namespace
