// The metrics page of a site of 50 devices, each with seven channels: made from its snapshot,
// and served from the cache between two snapshots (the site's part made once, the process's
// lines read and made for each scrape).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/ProcessFigures.h"
#include "web/MetricsPage.h"

namespace {

std::shared_ptr<const SiteSnapshot> FiftyDevices() {
    auto site = std::make_shared<SiteSnapshot>();
    for (int i = 0; i < 50; ++i) {
        DeviceSnapshot d;
        d.Id = static_cast<std::uint16_t>(i + 1);
        d.Name = "Amp " + std::to_string(i + 1);
        d.Address = "127.0.122." + std::to_string(i + 1);
        d.Serial = std::to_string(12000000 + i);
        d.Model = "RV12";
        d.Monitored = true;
        d.ConnState = Connected;
        d.StatusKnown = d.HeardOf = true;
        d.StatusTime = 1765444615;
        d.Active = true;
        for (int c = 1; c <= 7; ++c) d.Channels.push_back({c, true, false, false, c == 2, false});
        d.OperatingMinutes = 1000 + i;
        site->Devices.push_back(d);
    }
    site->Version = "1.0.0";
    for (double s : {0.003, 0.02, 0.3}) site->Counters.PollDuration.Observe(s);
    return site;
}

void BM_MetricsPageMade(benchmark::State& state) {
    const auto site = FiftyDevices();
    for (auto _ : state) benchmark::DoNotOptimize(MetricsPage(*site, ReadProcessFigures()));
}
BENCHMARK(BM_MetricsPageMade)->Unit(benchmark::kMicrosecond);

void BM_MetricsPageCached(benchmark::State& state) {
    const auto site = FiftyDevices();
    CMetricsPageCache cache;
    for (auto _ : state) benchmark::DoNotOptimize(cache.Page(site, ReadProcessFigures()));
}
BENCHMARK(BM_MetricsPageCached)->Unit(benchmark::kMicrosecond);

void BM_ProcessFigures(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ReadProcessFigures());
}
BENCHMARK(BM_ProcessFigures)->Unit(benchmark::kMicrosecond);

}  // namespace
