// The webhook route in the monitor core: the settings section, the hand-over to the targets
// that are on, one outcome event per delivery, a main thread that keeps turning while a target
// hangs, and a shutdown that does not wait for it.
#include <QJsonArray>
#include <QTimer>
#include <chrono>

#include "CoreFixture.h"
#include "support/WebhookReceiver.h"

namespace {

using namespace std::chrono_literals;

class WebhookDispatchTest : public CoreFixture {
protected:
    WebhookDispatchTest() : CoreFixture(211) {}

    void StartWithTargets(const std::vector<WebhookTarget_Type>& targets) {
        StartCore();
        core_->WebhookTimes.TryLimit = 1500ms;
        core_->WebhookTimes.RetryWaits = {50ms, 100ms};
        for (std::size_t n = 0; n < targets.size(); ++n) {
            core_->WebhookSettings.Targets[n] = targets[n];
        }
    }
    static AlertNotice Notice() {
        AlertNotice notice;
        notice.What = AlertNotice::Kind::Alert;
        notice.DeviceName = "Foyer";
        notice.Problems = {"fan"};
        notice.Subject = "AVLO alert: Foyer";
        notice.Text = "Fan fault.";
        return notice;
    }
    std::size_t Outcomes() const {
        return EventsWithId(EV_WEBHOOK_SENT).size() + EventsWithId(EV_WEBHOOK_FAILED).size();
    }
    static bool Has(const CapturedEvent& e, const std::string& part) {
        return e.text.value_or("").find(part) != std::string::npos;
    }
};

TEST_F(WebhookDispatchTest, SettingsRoundTripAfterTheOtherSectionsAndUnusableTargetsAreSaid) {
    StartCore();
    EXPECT_EQ(core_->WebhookSettings, WebhookSettings_Type{}) << "no section: every target off";
    EXPECT_TRUE(EventsWithId(EV_MONITOR_ERROR).empty());
    StopCore();

    WriteConfig(
        "[Web]\r\nOn=0\r\n[Webhooks]\r\nOn1=1\r\nUrl1=https://push.example/alerts-7f3a\r\n"
        "Format1=ntfy\r\nOn2=1\r\nUrl2=http://127.0.0.1:9/x\r\nFormat2=xml\r\nOn3=1\r\n"
        "Url3=ftp://files.example/in\r\nFormat3=chat\r\nCaFile=/etc/site-ca.pem\r\n");
    StartCore();
    const WebhookSettings_Type& w = core_->WebhookSettings;
    EXPECT_TRUE(w.Targets[0].On);
    EXPECT_EQ(w.Targets[0].Url, "https://push.example/alerts-7f3a");
    EXPECT_EQ(w.Targets[0].Format, "ntfy");
    EXPECT_EQ(w.Targets[1].Format, "xml") << "kept as written, to be put right";
    EXPECT_EQ(w.CaFile, "/etc/site-ca.pem");
    const auto said = EventsWithId(EV_MONITOR_ERROR);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_TRUE(Has(said[0], "target 2") && Has(said[0], "xml")) << said[0].text.value_or("");
    EXPECT_TRUE(Has(said[1], "target 3") && Has(said[1], "http")) << said[1].text.value_or("");
    EXPECT_FALSE(CMonitorCore::WebhookTargetFault(w.Targets[0]).has_value());

    // A change alone is saved, and the section comes after every other one.
    core_->WebhookSettings.Targets[2].On = false;
    EXPECT_TRUE(
        WaitUntil([&] { return ReadConfig().find("On3=0\r\n") != std::string::npos; }, 6000))
        << ReadConfig();
    const WebhookSettings_Type before = core_->WebhookSettings;
    StopCore();
    const std::string text = ReadConfig();
    const std::size_t section = text.find("[Webhooks]\r\n");
    ASSERT_NE(section, std::string::npos) << text;
    EXPECT_EQ(text.find("\r\n[", section + 1), std::string::npos) << "not the last section";
    EXPECT_LT(text.find("[Web]\r\n"), section);
    StartCore();
    EXPECT_EQ(core_->WebhookSettings, before);
}

TEST_F(WebhookDispatchTest, EachTargetThatIsOnGetsItAndEachDeliveryGivesOneEvent) {
    const WebhookReceiver good("ok");
    const WebhookReceiver failing("status:500");
    const WebhookReceiver unused("ok");
    ASSERT_TRUE(good.Running() && failing.Running() && unused.Running());
    StartWithTargets({{true, good.Url("http", "127.0.0.1", "/token-8c2e"), "chat"},
                      {true, failing.Url("http", "127.0.0.1", "/token-8c2e"), "json"},
                      {false, unused.Url(), "json"}});
    core_->SendWebhooks(Notice());
    ASSERT_TRUE(WaitUntil([&] { return Outcomes() >= 2; }, 15000));
    Pump(300);
    const auto sent = EventsWithId(EV_WEBHOOK_SENT);
    const auto failed = EventsWithId(EV_WEBHOOK_FAILED);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(sent[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(failed[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(Has(sent[0], "target 1 (http://127.0.0.1:" + std::to_string(good.Port())))
        << sent[0].text.value_or("");
    EXPECT_TRUE(Has(failed[0], "target 2") && Has(failed[0], "HTTP status 500") &&
                Has(failed[0], "3 tries"))
        << failed[0].text.value_or("");
    for (const auto& e : {sent[0], failed[0]}) {
        EXPECT_FALSE(Has(e, "token-8c2e")) << "a URL's path may be its secret";
    }
    ASSERT_EQ(good.Requests().size(), 1u);
    EXPECT_EQ(failing.Requests().size(), 3u);
    EXPECT_TRUE(unused.Requests().empty());
    const QJsonObject chat =
        QJsonDocument::fromJson(QByteArray::fromStdString(good.Requests()[0].Body)).object();
    EXPECT_EQ(chat.value("text").toString(), "AVLO alert: Foyer\nFan fault.");
    EXPECT_EQ(core_->WebhooksInFlight(), 0u);
}

// A fault of a simulated amplifier reaches the targets as the alert the e-mail would carry,
// once: the next status with the same fault tells nobody again.
TEST_F(WebhookDispatchTest, ADeviceFaultReachesTheTargetsAsAnAlertOnce) {
    const WebhookReceiver receiver("ok");
    ASSERT_TRUE(receiver.Running());
    const int sim = QuietSim(2, "3100", [](devsim::DeviceConfig& c) { c.modelText = "02"; });
    StartWithTargets({{true, receiver.Url(), "json"}});
    core_->NotifiableEvents.FanErr = true;
    Add("Foyer", Address(2));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    Site().SetChannelFault(sim, 2, devsim::ChannelFault::Fan, true);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Outcomes() >= 1; }, 10000));
    ASSERT_EQ(EventsWithId(EV_WEBHOOK_SENT).size(), 1u);
    ASSERT_EQ(receiver.Requests().size(), 1u);
    const QJsonObject alert =
        QJsonDocument::fromJson(QByteArray::fromStdString(receiver.Requests()[0].Body)).object();
    EXPECT_EQ(alert.value("kind").toString(), "alert") << receiver.Requests()[0].Body;
    EXPECT_EQ(alert.value("device").toString(), "Foyer");
    EXPECT_TRUE(alert.value("problems").toArray().contains(QStringLiteral("fan")))
        << receiver.Requests()[0].Body;

    core_->PollAll();
    Pump(1500);
    EXPECT_EQ(Outcomes(), 1u);
    EXPECT_EQ(receiver.Requests().size(), 1u);
}

// While a target hangs through all its tries, the main thread's timers keep firing, and the
// number of deliveries at once stays bounded.
TEST_F(WebhookDispatchTest, AHangingTargetNeitherBlocksTheMainThreadNorGrowsWithoutBound) {
    const WebhookReceiver hanging("hang");
    ASSERT_TRUE(hanging.Running());
    StartWithTargets({{true, hanging.Url(), "json"}});
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&ticks] { ++ticks; });
    ticker.start(50);
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 20; ++n) core_->SendWebhooks(Notice());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the hand-over waited";
    EXPECT_EQ(core_->WebhooksInFlight(), CMonitorCore::MaxWebhooksInFlight);
    EXPECT_EQ(core_->WebhooksWaiting(), 20u - CMonitorCore::MaxWebhooksInFlight);
    Pump(2000);  // the first tries time out after 1.5 s, each delivery then tries again
    EXPECT_GE(ticks, 25) << "the main thread stood still while the target hung";
    EXPECT_LE(hanging.Connections(), static_cast<int>(CMonitorCore::MaxWebhooksInFlight) * 3);
}

TEST_F(WebhookDispatchTest, ShutdownWithAHangingTargetIsPromptAndSaysWhatWasNotDelivered) {
    const WebhookReceiver hanging("hang");
    ASSERT_TRUE(hanging.Running());
    StartWithTargets({{true, hanging.Url(), "ntfy"}});
    core_->WebhookTimes.TryLimit = 30s;
    core_->SendWebhooks(Notice());
    ASSERT_TRUE(WaitUntil([&] { return hanging.Connections() == 1; }, 10000));
    const auto start = std::chrono::steady_clock::now();
    StopCore();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    const auto failed = EventsWithId(EV_WEBHOOK_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(Has(failed[0], "stopped")) << failed[0].text.value_or("");
    EXPECT_TRUE(EventsWithId(EV_WEBHOOK_SENT).empty());
}

}  // namespace
