#include "web/MetricsPage.h"

#include <array>
#include <functional>

#include "web/PrometheusText.h"

namespace {

constexpr const char* kRailNames[SupplyRailCount] = {"-5V", "+12V", "+72V_A", "+72V_B"};

// The statistics counters by the fault classes an alert names: a channel class sums its seven
// channels, the supply its four rails.
struct FaultKind {
    const char* name;
    int first;
    int count;
};
constexpr FaultKind kFaultKinds[] = {
    {"channel", StatsChanErr, 7},    {"temperature", StatsTempErr, 7}, {"fan", StatsFanErr, 7},
    {"current", StatsCurrentErr, 7}, {"supply", StatsMinus5VErr, 4},
};

double Flag(bool on) {
    return on ? 1 : 0;
}

class CPage {
public:
    CPage(const SiteSnapshot& site) : site_(site) {}

    // One family over the devices that pass `which`, each giving its samples.
    void Devices(const char* name, const char* help, const char* type,
                 bool (*which)(const DeviceSnapshot&),
                 const std::function<void(const DeviceSnapshot&)>& samples) {
        text_.Family(name, help, type);
        for (const DeviceSnapshot& d : site_.Devices) {
            if (which(d)) samples(d);
        }
    }
    void DeviceFamilies();
    void StatusFamilies();
    void SiteFamilies();
    void ProcessFamilies(const ProcessFigures& p);
    std::string Take() { return text_.Take(); }

private:
    static bool Every(const DeviceSnapshot&) { return true; }
    static bool HeardOf(const DeviceSnapshot& d) { return d.HeardOf; }
    static bool Known(const DeviceSnapshot& d) { return d.StatusKnown; }

    const SiteSnapshot& site_;
    CPrometheusText text_;
};

void CPage::DeviceFamilies() {
    Devices("avlo_device_info", "A registered device; the value is always 1.", "gauge", Every,
            [this](const DeviceSnapshot& d) {
                text_.Sample("avlo_device_info",
                             {{"device", d.Name},
                              {"address", d.Address},
                              {"serial", d.Serial},
                              {"model", d.Model}},
                             1);
            });
    const auto flag = [this](const char* name, const char* help,
                             bool (*which)(const DeviceSnapshot&),
                             bool (*value)(const DeviceSnapshot&)) {
        Devices(name, help, "gauge", which, [this, name, value](const DeviceSnapshot& d) {
            text_.Sample(name, {{"device", d.Name}}, Flag(value(d)));
        });
    };
    flag("avlo_device_monitored", "Whether the device is monitored (its AVLO box is ticked).",
         Every, [](const DeviceSnapshot& d) { return d.Monitored; });
    flag("avlo_device_connected", "Whether the monitor is connected to the device.", Every,
         [](const DeviceSnapshot& d) { return d.ConnState == Connected; });
    flag("avlo_device_status_known", "Whether the device's current status is known.", HeardOf,
         [](const DeviceSnapshot& d) { return d.StatusKnown; });
    flag("avlo_device_muted", "Whether the device's alerts are muted for maintenance.", Every,
         [](const DeviceSnapshot& d) { return d.Muted; });
    flag("avlo_device_active", "Whether the device is active (1) or in standby (0).", Known,
         [](const DeviceSnapshot& d) { return d.Active; });
}

void CPage::StatusFamilies() {
    Devices("avlo_channel_on", "Whether an output channel is switched on.", "gauge", Known,
            [this](const DeviceSnapshot& d) {
                for (const ChannelSnapshot& c : d.Channels) {
                    const std::string channel = std::to_string(c.Number);
                    text_.Sample("avlo_channel_on", {{"device", d.Name}, {"channel", channel}},
                                 Flag(c.On));
                }
            });
    Devices("avlo_channel_fault", "Whether an output channel reports a fault of the kind.", "gauge",
            Known, [this](const DeviceSnapshot& d) {
                for (const ChannelSnapshot& c : d.Channels) {
                    const std::string channel = std::to_string(c.Number);
                    const std::pair<const char*, bool> kinds[] = {
                        {"channel", c.ChannelFault},
                        {"temperature", c.TemperatureFault},
                        {"fan", c.FanFault},
                        {"current", c.CurrentFault}};
                    for (const auto& [kind, fault] : kinds) {
                        text_.Sample("avlo_channel_fault",
                                     {{"device", d.Name}, {"channel", channel}, {"kind", kind}},
                                     Flag(fault));
                    }
                }
            });
    Devices("avlo_supply_fault", "Whether a supply rail of the device reports a fault.", "gauge",
            Known, [this](const DeviceSnapshot& d) {
                for (int r = 0; r < SupplyRailCount; ++r) {
                    text_.Sample("avlo_supply_fault", {{"device", d.Name}, {"rail", kRailNames[r]}},
                                 Flag(d.SupplyFault[r]));
                }
            });
    Devices("avlo_device_operating_seconds", "The device's operating time.", "gauge", Known,
            [this](const DeviceSnapshot& d) {
                text_.Sample("avlo_device_operating_seconds", {{"device", d.Name}},
                             60.0 * d.OperatingMinutes);
            });
    Devices("avlo_device_faults_total",
            "Fault onsets the device's statistics counted; a statistics reset starts them at 0.",
            "counter", HeardOf, [this](const DeviceSnapshot& d) {
                for (const FaultKind& k : kFaultKinds) {
                    double sum = 0;
                    for (int i = k.first; i < k.first + k.count; ++i) sum += d.Stats[i];
                    text_.Sample("avlo_device_faults_total", {{"device", d.Name}, {"kind", k.name}},
                                 sum);
                }
            });
    Devices("avlo_device_last_status_timestamp_seconds",
            "When the device's last status arrived, in seconds since 1970.", "gauge", HeardOf,
            [this](const DeviceSnapshot& d) {
                text_.Sample("avlo_device_last_status_timestamp_seconds", {{"device", d.Name}},
                             static_cast<double>(d.StatusTime));
            });
}

void CPage::SiteFamilies() {
    const SiteCounters& c = site_.Counters;
    text_.Family("avlo_alert_emails_total", "Alert e-mails by their outcome.", "counter");
    text_.Sample("avlo_alert_emails_total", {{"result", "delivered"}},
                 static_cast<double>(c.AlertEmailsDelivered));
    text_.Sample("avlo_alert_emails_total", {{"result", "failed"}},
                 static_cast<double>(c.AlertEmailsFailed));
    text_.Family("avlo_events_total", "Events written to the log, by type.", "counter");
    text_.Sample("avlo_events_total", {{"type", "information"}},
                 static_cast<double>(c.InformationEvents));
    text_.Sample("avlo_events_total", {{"type", "warning"}}, static_cast<double>(c.WarningEvents));
    text_.Sample("avlo_events_total", {{"type", "error"}}, static_cast<double>(c.ErrorEvents));

    const PollDurationHistogram& h = c.PollDuration;
    text_.Family("avlo_poll_duration_seconds",
                 "Time from a poll to the last status that answered it.", "histogram");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.Bounds.size(); ++i) {
        cumulative += h.Buckets[i];
        const std::string le = CPrometheusText::Number(h.Bounds[i]);
        text_.Sample("avlo_poll_duration_seconds_bucket", {{"le", le}},
                     static_cast<double>(cumulative));
    }
    text_.Sample("avlo_poll_duration_seconds_bucket", {{"le", "+Inf"}},
                 static_cast<double>(h.Count));
    text_.Sample("avlo_poll_duration_seconds_sum", {}, h.Sum);
    text_.Sample("avlo_poll_duration_seconds_count", {}, static_cast<double>(h.Count));

    text_.Family("avlo_build_info", "The monitor's version; the value is always 1.", "gauge");
    text_.Sample("avlo_build_info", {{"version", site_.Version}}, 1);
}

void CPage::ProcessFamilies(const ProcessFigures& p) {
    const auto one = [this](const char* name, const char* help, const char* type, double value) {
        text_.Family(name, help, type);
        text_.Sample(name, {}, value);
    };
    one("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", "counter",
        p.CpuSeconds);
    one("process_resident_memory_bytes", "Resident memory size in bytes.", "gauge",
        p.ResidentBytes);
    one("process_virtual_memory_bytes", "Virtual memory size in bytes.", "gauge", p.VirtualBytes);
    one("process_open_fds", "Number of open file descriptors.", "gauge", p.OpenDescriptors);
    one("process_max_fds", "Maximum number of open file descriptors.", "gauge", p.MaxDescriptors);
    one("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
        "gauge", p.StartTimeSeconds);
}

}  // namespace

std::string SiteMetricsText(const SiteSnapshot& site) {
    CPage page(site);
    page.DeviceFamilies();
    page.StatusFamilies();
    page.SiteFamilies();
    return page.Take();
}

std::string ProcessMetricsText(const ProcessFigures& process) {
    const SiteSnapshot none;
    CPage page(none);
    page.ProcessFamilies(process);
    return page.Take();
}

std::string MetricsPage(const SiteSnapshot& site, const std::optional<ProcessFigures>& process) {
    std::string text = SiteMetricsText(site);
    if (process) text += ProcessMetricsText(*process);
    return text;
}

std::shared_ptr<const std::string> CMetricsPageCache::SiteText(
    const std::shared_ptr<const SiteSnapshot>& site) {
    {
        std::lock_guard lock(mutex_);
        // The same snapshot while this one holds it: no other can have taken its place.
        if (text_ && site_.lock() == site) return text_;
    }
    auto text = std::make_shared<const std::string>(SiteMetricsText(*site));
    std::lock_guard lock(mutex_);
    site_ = site;
    text_ = text;
    return text;
}

std::string CMetricsPageCache::Page(const std::shared_ptr<const SiteSnapshot>& site,
                                    const std::optional<ProcessFigures>& process) {
    const std::shared_ptr<const std::string> siteText = SiteText(site);
    const std::string processText = process ? ProcessMetricsText(*process) : std::string();
    std::string page;
    page.reserve(siteText->size() + processText.size());
    page += *siteText;
    page += processText;
    return page;
}
