// The metrics page from snapshots made by hand: which series a device has in each state, the
// values they carry, the site's counters and the histogram, and a page promtool accepts.
#include <gtest/gtest.h>

#include <memory>

#include "MetricsSamples.h"
#include "Promtool.h"
#include "SnapshotFixtures.h"
#include "web/MetricsPage.h"

namespace {

const std::set<std::string> kEveryDeviceFamily = {
    "avlo_device_info",
    "avlo_device_monitored",
    "avlo_device_connected",
    "avlo_device_status_known",
    "avlo_device_active",
    "avlo_device_muted",
    "avlo_channel_on",
    "avlo_channel_fault",
    "avlo_supply_fault",
    "avlo_device_operating_seconds",
    "avlo_device_faults_total",
    "avlo_device_last_status_timestamp_seconds",
};

SiteSnapshot Site() {
    SiteSnapshot site;
    site.Devices = {Faulty(), Unheard(), Lost()};
    site.Devices[1].Muted = true;
    site.Devices[1].MutedUntil = CMonitorCore::MutedIndefinitely;
    site.Version = "1.2.3";
    SiteCounters& c = site.Counters;
    c.AlertEmailsDelivered = 4;
    c.AlertEmailsFailed = 1;
    c.InformationEvents = 10;
    c.WarningEvents = 2;
    c.ErrorEvents = 3;
    for (double s : {0.003, 0.004, 0.02, 0.3, 12.0}) c.PollDuration.Observe(s);
    return site;
}

ProcessFigures Process() {
    ProcessFigures p;
    p.CpuSeconds = 1.5;
    p.ResidentBytes = 20e6;
    p.VirtualBytes = 300e6;
    p.OpenDescriptors = 17;
    p.MaxDescriptors = 1024;
    p.StartTimeSeconds = 1765440000;
    return p;
}

TEST(MetricsPageTest, EachDeviceHasTheSeriesItsStateAllows) {
    const MetricsSamples page(MetricsPage(Site(), Process()));
    EXPECT_EQ(page.FamiliesWith("device=\"Amp A\""), kEveryDeviceFamily);
    EXPECT_EQ(page.FamiliesWith("device=\"Amp B\""),
              (std::set<std::string>{"avlo_device_info", "avlo_device_monitored",
                                     "avlo_device_connected", "avlo_device_muted"}));
    EXPECT_EQ(
        page.FamiliesWith("device=\"Amp C\""),
        (std::set<std::string>{"avlo_device_info", "avlo_device_monitored", "avlo_device_connected",
                               "avlo_device_muted", "avlo_device_status_known", "avlo_device_faults_total",
                               "avlo_device_last_status_timestamp_seconds"}));
}

TEST(MetricsPageTest, DeviceValues) {
    const MetricsSamples page(MetricsPage(Site(), std::nullopt));
    const struct {
        std::string series, value;
    } cases[] = {
        {R"(avlo_device_info{device="Amp A",address="127.0.0.2",serial="00001234",model="RV10"})",
         "1"},
        {R"(avlo_device_info{device="Amp B",address="127.0.0.3",serial="",model="Unknown"})", "1"},
        {R"(avlo_device_monitored{device="Amp A"})", "1"},
        {R"(avlo_device_monitored{device="Amp B"})", "0"},
        {R"(avlo_device_connected{device="Amp A"})", "1"},
        {R"(avlo_device_connected{device="Amp C"})", "0"},
        {R"(avlo_device_status_known{device="Amp A"})", "1"},
        {R"(avlo_device_status_known{device="Amp C"})", "0"},
        {R"(avlo_device_active{device="Amp A"})", "1"},
        {R"(avlo_device_muted{device="Amp A"})", "0"},
        {R"(avlo_device_muted{device="Amp B"})", "1"},
        {R"(avlo_channel_on{device="Amp A",channel="1"})", "1"},
        {R"(avlo_channel_on{device="Amp A",channel="2"})", "0"},
        {R"(avlo_channel_on{device="Amp A",channel="3"})", "absent"},
        {R"(avlo_channel_fault{device="Amp A",channel="2",kind="fan"})", "1"},
        {R"(avlo_channel_fault{device="Amp A",channel="2",kind="channel"})", "0"},
        {R"(avlo_channel_fault{device="Amp A",channel="1",kind="fan"})", "0"},
        {R"(avlo_channel_fault{device="Amp A",channel="1",kind="temperature"})", "0"},
        {R"(avlo_channel_fault{device="Amp A",channel="1",kind="current"})", "0"},
        {R"(avlo_supply_fault{device="Amp A",rail="-5V"})", "0"},
        {R"(avlo_supply_fault{device="Amp A",rail="+12V"})", "1"},
        {R"(avlo_supply_fault{device="Amp A",rail="+72V_A"})", "0"},
        {R"(avlo_supply_fault{device="Amp A",rail="+72V_B"})", "0"},
        {R"(avlo_device_operating_seconds{device="Amp A"})", "5400"},
        {R"(avlo_device_faults_total{device="Amp A",kind="fan"})", "4"},
        {R"(avlo_device_faults_total{device="Amp A",kind="supply"})", "7"},
        {R"(avlo_device_faults_total{device="Amp A",kind="channel"})", "0"},
        {R"(avlo_device_faults_total{device="Amp A",kind="temperature"})", "0"},
        {R"(avlo_device_faults_total{device="Amp A",kind="current"})", "0"},
        {R"(avlo_device_last_status_timestamp_seconds{device="Amp A"})", "1765444615"},
    };
    for (const auto& c : cases) EXPECT_EQ(page[c.series], c.value) << c.series;
}

TEST(MetricsPageTest, SiteCountersHistogramAndBuild) {
    const MetricsSamples page(MetricsPage(Site(), Process()));
    const struct {
        std::string series, value;
    } cases[] = {
        {R"(avlo_alert_emails_total{result="delivered"})", "4"},
        {R"(avlo_alert_emails_total{result="failed"})", "1"},
        {R"(avlo_events_total{type="information"})", "10"},
        {R"(avlo_events_total{type="warning"})", "2"},
        {R"(avlo_events_total{type="error"})", "3"},
        // Buckets count every poll at or below their bound; the 12 s poll only +Inf.
        {R"(avlo_poll_duration_seconds_bucket{le="0.005"})", "2"},
        {R"(avlo_poll_duration_seconds_bucket{le="0.01"})", "2"},
        {R"(avlo_poll_duration_seconds_bucket{le="0.025"})", "3"},
        {R"(avlo_poll_duration_seconds_bucket{le="0.25"})", "3"},
        {R"(avlo_poll_duration_seconds_bucket{le="0.5"})", "4"},
        {R"(avlo_poll_duration_seconds_bucket{le="10"})", "4"},
        {R"(avlo_poll_duration_seconds_bucket{le="+Inf"})", "5"},
        {"avlo_poll_duration_seconds_count", "5"},
        {"avlo_poll_duration_seconds_sum", "12.327"},
        {R"(avlo_build_info{version="1.2.3"})", "1"},
        {"process_cpu_seconds_total", "1.5"},
        {"process_resident_memory_bytes", "20000000"},
        {"process_virtual_memory_bytes", "300000000"},
        {"process_open_fds", "17"},
        {"process_max_fds", "1024"},
        {"process_start_time_seconds", "1765440000"},
    };
    for (const auto& c : cases) EXPECT_EQ(page[c.series], c.value) << c.series;
}

TEST(MetricsPageTest, PromtoolFindsNoProblem) {
    EXPECT_PROMTOOL_ACCEPTS(MetricsPage(Site(), Process()));
    EXPECT_PROMTOOL_ACCEPTS(MetricsPage(SiteSnapshot{}, std::nullopt));
}

// Scrapes between two snapshots get the site's part as made once; a new snapshot, even one
// that reuses the old one's memory, and new process figures show at once.
TEST(MetricsPageTest, CacheFollowsTheSnapshotAndTheProcess) {
    CMetricsPageCache cache;
    auto first = std::make_shared<const SiteSnapshot>(Site());
    EXPECT_EQ(cache.Page(first, Process()), MetricsPage(*first, Process()));
    EXPECT_EQ(cache.Page(first, std::nullopt), MetricsPage(*first, std::nullopt));

    ProcessFigures later = Process();
    later.OpenDescriptors = 99;
    EXPECT_EQ(cache.Page(first, later), MetricsPage(*first, later));

    first.reset();
    SiteSnapshot changed = Site();
    changed.Devices[0].Name = "Renamed";
    changed.Counters.ErrorEvents = 7;
    auto second = std::make_shared<const SiteSnapshot>(changed);
    const std::string page = cache.Page(second, Process());
    EXPECT_EQ(page, MetricsPage(changed, Process()));
    EXPECT_NE(page.find("device=\"Renamed\""), std::string::npos);
}

}  // namespace
