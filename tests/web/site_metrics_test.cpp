// The metrics page of a monitor watching a simulated site: a healthy, a faulty, a standby, an
// unreachable and an unticked amplifier, read from the published snapshot as the web service
// reads it, on a thread of its own, while the devices change.
#include <QCoreApplication>
#include <QJsonDocument>
#include <atomic>
#include <thread>

#include "CoreFixture.h"
#include "MetricsSamples.h"
#include "Promtool.h"
#include "web/DevicesJson.h"
#include "web/MetricsPage.h"
#include "web/SnapshotPublisher.h"

namespace {

// A name that would end a label value, escape out of it, or start a new sample line.
const std::string kAwkwardName = "Stage \"B\" \\ left\nrack";
const std::string kAwkwardLabel = R"(device="Stage \"B\" \\ left\nrack")";

class SiteMetricsTest : public CoreFixture {
protected:
    SiteMetricsTest() : CoreFixture(163) {}

    void SetUp() override {
        CoreFixture::SetUp();
        healthy_ = QuietSim(2, "1000", [](devsim::DeviceConfig& c) {
            c.modelText = "03";  // seven channels
            c.operatingMinutes = 600;
        });
        faulty_ = QuietSim(3, "2000", [](devsim::DeviceConfig& c) { c.modelText = "00"; });
        standby_ = QuietSim(4, "3000", [](devsim::DeviceConfig& c) {
            c.modelText = "01";
            c.active = false;
        });
        unticked_ = QuietSim(6, "4000");
        // Host 5 has no simulated device: its connection is refused again and again.
        StartQuiet();
        Monitor().EmailSettings.Enabled = true;
        Monitor().NotifiableEvents = {true, true, true, true, true};
        Monitor().AlertRecorder = [this](Device&, const DeviceStatus&) {
            return alertsDelivered_.load();
        };
        publisher_ = std::make_unique<CSnapshotPublisher>(Monitor());
        Add("Healthy", Address(2));
        faultyId_ = static_cast<std::uint16_t>(Add("Faulty", Address(3)));
        Add(kAwkwardName, Address(4));
        Add("Unreachable", Address(5));
        Add("Unticked", Address(6), false);
    }
    void TearDown() override {
        publisher_.reset();
        CoreFixture::TearDown();
    }

    std::string Page() const { return MetricsPage(*publisher_->Latest(), ReadProcessFigures()); }
    // Runs the monitor until the page shows every series at its value.
    bool PageShows(const std::vector<std::pair<std::string, std::string>>& expected,
                   int ms = 8000) {
        return WaitUntil(
            [&] {
                const MetricsSamples page(Page());
                for (const auto& [series, value] : expected) {
                    if (page[series] != value) return false;
                }
                return true;
            },
            ms);
    }
    // What the page says of these series now, to show when a wait fails.
    std::string Now(const std::vector<std::pair<std::string, std::string>>& expected) const {
        const MetricsSamples page(Page());
        std::string out;
        for (const auto& [series, value] : expected) out += series + " " + page[series] + "\n";
        return out + "--- the page:\n" + Page();
    }

    int healthy_ = -1, faulty_ = -1, standby_ = -1, unticked_ = -1;
    std::uint16_t faultyId_ = 0;
    std::atomic<bool> alertsDelivered_{true};
    std::unique_ptr<CSnapshotPublisher> publisher_;
};

using Expected = std::vector<std::pair<std::string, std::string>>;

TEST_F(SiteMetricsTest, EveryDeviceStateOnThePageAndItsChanges) {
    // The web service's side: pages rendered from the published snapshots on another thread
    // all along, as a scraper would, while the core changes the site.
    std::atomic<int> rendered{0};
    std::jthread scraper([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (MetricsPage(*publisher_->Latest(), ReadProcessFigures()).find("avlo_build_info") !=
                std::string::npos) {
                ++rendered;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    const Expected settled = {
        {R"(avlo_device_info{device="Healthy",address=")" + Address(2) +
             R"(",serial="10001002",model="RV13"})",
         "1"},
        {R"(avlo_device_connected{device="Healthy"})", "1"},
        {R"(avlo_device_status_known{device="Healthy"})", "1"},
        {R"(avlo_device_active{device="Healthy"})", "1"},
        {R"(avlo_channel_on{device="Healthy",channel="7"})", "1"},
        {R"(avlo_channel_fault{device="Healthy",channel="7",kind="fan"})", "0"},
        {R"(avlo_supply_fault{device="Healthy",rail="+72V_B"})", "0"},
        {R"(avlo_device_operating_seconds{device="Healthy"})", "36000"},
        {R"(avlo_device_faults_total{device="Healthy",kind="fan"})", "0"},
        {R"(avlo_channel_on{device="Faulty",channel="2"})", "1"},
        {R"(avlo_channel_on{device="Faulty",channel="3"})", "absent"},  // a two-channel model
        {"avlo_device_active{" + kAwkwardLabel + "}", "0"},
        {"avlo_device_monitored{" + kAwkwardLabel + "}", "1"},
        {R"(avlo_device_monitored{device="Unreachable"})", "1"},
        {R"(avlo_device_connected{device="Unreachable"})", "0"},
        {R"(avlo_device_muted{device="Unreachable"})", "0"},
        {R"(avlo_device_monitored{device="Unticked"})", "0"},
        {R"(avlo_device_connected{device="Unticked"})", "0"},
    };
    ASSERT_TRUE(PageShows(settled)) << Now(settled);
    const MetricsSamples first(Page());
    const std::set<std::string> onlyRegistered = {"avlo_device_info", "avlo_device_monitored",
                                                  "avlo_device_connected", "avlo_device_muted"};
    EXPECT_EQ(first.FamiliesWith(R"(device="Unreachable")"), onlyRegistered);
    EXPECT_EQ(first.FamiliesWith(R"(device="Unticked")"), onlyRegistered);
    EXPECT_EQ(first.FamiliesWith(kAwkwardLabel).size(), 12u);
    const double lastStatus =
        std::stod(first[R"(avlo_device_last_status_timestamp_seconds{device="Healthy"})"]);
    EXPECT_NEAR(lastStatus, static_cast<double>(std::time(nullptr)), 30);
    EXPECT_EQ(first[R"(avlo_build_info{version=")" AVLO_VERSION R"("})"], "1");
    EXPECT_NE(first[R"(avlo_events_total{type="information"})"], "0");  // registrations
    EXPECT_PROMTOOL_ACCEPTS(Page());

    // The faulty amplifier: a fan fault on channel 2 and the +72 V (A) rail out. Its alert
    // is delivered; the standby one goes active.
    Site().SetChannelFault(faulty_, 2, devsim::ChannelFault::Fan, true);
    Site().SetSupplyFault(faulty_, 2, true);
    Site().SetActive(standby_, true);
    Monitor().PollAll();
    const Expected faulted = {
        {R"(avlo_channel_fault{device="Faulty",channel="2",kind="fan"})", "1"},
        {R"(avlo_channel_fault{device="Faulty",channel="1",kind="fan"})", "0"},
        {R"(avlo_channel_fault{device="Faulty",channel="2",kind="temperature"})", "0"},
        {R"(avlo_supply_fault{device="Faulty",rail="+72V_A"})", "1"},
        {R"(avlo_supply_fault{device="Faulty",rail="+12V"})", "0"},
        {R"(avlo_device_faults_total{device="Faulty",kind="fan"})", "1"},
        {R"(avlo_device_faults_total{device="Faulty",kind="supply"})", "1"},
        {R"(avlo_device_faults_total{device="Faulty",kind="channel"})", "0"},
        {R"(avlo_alert_emails_total{result="delivered"})", "1"},
        {R"(avlo_alert_emails_total{result="failed"})", "0"},
        {"avlo_device_active{" + kAwkwardLabel + "}", "1"},
    };
    ASSERT_TRUE(PageShows(faulted)) << Now(faulted);
    const MetricsSamples afterFault(Page());
    EXPECT_NE(afterFault[R"(avlo_events_total{type="error"})"], "0");  // the fault report
    EXPECT_NE(afterFault["avlo_poll_duration_seconds_count"], "0");
    // The devices' JSON from the same snapshot: the row's condition text and the flags.
    const QJsonObject faulty =
        QJsonDocument::fromJson(*DeviceJsonById(*publisher_->Latest(), faultyId_)).object();
    EXPECT_EQ(faulty["condition"].toString(), "Fan Failure, Power Supply Failure");
    EXPECT_EQ(faulty["channels"][1]["faults"]["fan"], true);
    EXPECT_EQ(faulty["supplyFaults"]["+72V_A"], true);
    EXPECT_EQ(faulty["statistics"]["fan"][1].toInt(), 1);
    EXPECT_PROMTOOL_ACCEPTS(Page());

    // A new fault whose alert fails; the healthy amplifier's link drops and is refused from
    // now on; the unticked one is ticked and answers; the unreachable one's alerts are muted.
    alertsDelivered_ = false;
    Monitor().MuteDevice(Monitor().FindDeviceByListIndex(3)->DeviceId,
                         CMonitorCore::MutedIndefinitely);
    Site().SetChannelFault(faulty_, 1, devsim::ChannelFault::Temperature, true);
    Site().SetRefuseConnections(healthy_, true);
    Site().DropConnection(healthy_);
    DeviceContext tick = Ctx("Unticked", Address(6), true);
    tick.RegisterMode = false;
    ASSERT_TRUE(Monitor().UpdateDevice(4, &tick, true));
    Monitor().PollAll();
    const Expected changed = {
        {R"(avlo_channel_fault{device="Faulty",channel="1",kind="temperature"})", "1"},
        {R"(avlo_device_faults_total{device="Faulty",kind="temperature"})", "1"},
        {R"(avlo_device_connected{device="Healthy"})", "0"},
        {R"(avlo_device_status_known{device="Healthy"})", "0"},
        {R"(avlo_channel_on{device="Healthy",channel="1"})", "absent"},
        {R"(avlo_device_monitored{device="Unticked"})", "1"},
        {R"(avlo_device_connected{device="Unticked"})", "1"},
        {R"(avlo_device_status_known{device="Unticked"})", "1"},
        {R"(avlo_device_muted{device="Unreachable"})", "1"},
        {R"(avlo_device_muted{device="Faulty"})", "0"},
    };
    ASSERT_TRUE(PageShows(changed)) << Now(changed);
    const MetricsSamples last(Page());
    EXPECT_NE(last[R"(avlo_alert_emails_total{result="failed"})"], "0");
    EXPECT_NE(last[R"(avlo_events_total{type="warning"})"], "0");  // the lost connection
    EXPECT_PROMTOOL_ACCEPTS(Page());

    scraper.request_stop();
    scraper.join();
    EXPECT_GT(rendered.load(), 0);
}

TEST_F(SiteMetricsTest, APollTakesUntilItsLastStatus) {
    const Expected known = {{R"(avlo_device_status_known{device="Healthy"})", "1"},
                            {R"(avlo_device_status_known{device="Faulty"})", "1"}};
    ASSERT_TRUE(PageShows(known)) << Now(known);
    const PollDurationHistogram before = publisher_->Latest()->Counters.PollDuration;
    // The faulty amplifier answers 300 ms late: the poll lasts that long, whatever the
    // others do.
    Site().SetReplyDelay(faulty_, 300);
    Monitor().PollAll();
    ASSERT_TRUE(WaitUntil(
        [&] { return publisher_->Latest()->Counters.PollDuration.Count > before.Count; }));
    const PollDurationHistogram& after = publisher_->Latest()->Counters.PollDuration;
    ASSERT_EQ(after.Count, before.Count + 1);
    const double took = after.Sum - before.Sum;
    EXPECT_GE(took, 0.3);
    EXPECT_LT(took, 3.0);
    // It went to the bucket up to 0.5 s.
    EXPECT_EQ(after.Buckets[6], before.Buckets[6] + 1);
}

}  // namespace
