// Peers that take a connection and drop it: anything at a device's address that accepts and
// closes at once, and a real device that two monitors keep taking from each other. The
// monitor must not answer either with a flood of connections, events and history rows.
#include <sys/resource.h>

#include <QDir>
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "CoreFixture.h"
#include "history/EventStore.h"
#include "support/NetnsTestBed.h"

namespace {

constexpr int kSeconds = 10;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class ReconnectStormTest : public CoreFixture {
protected:
    ReconnectStormTest() : CoreFixture(123) {}

    void TearDown() override {
        second_.reset();
        StopCore();
        site_.reset();
        monitorNs_.reset();
        bed_.reset();
        CoreFixture::TearDown();
    }

    // The core inside a test bed's monitor namespace, its device in the device namespace.
    void EnterBed() {
        bed_ = std::make_unique<NetnsTestBed>(1);
        ASSERT_TRUE(bed_->ok()) << bed_->error();
        options_.discoveryAddress = NetnsTestBed::BroadcastAddress();
        options_.discoveryPort = 60003;
        monitorNs_.emplace(bed_->MonitorNs());
        ASSERT_TRUE(monitorNs_->ok()) << monitorNs_->error();
    }
    int BedDevice(const std::string& address) {
        ScopedNetns dev(bed_->DeviceNs());
        EXPECT_TRUE(dev.ok()) << dev.error();
        site_ = std::make_unique<devsim::Site>(devsim::SiteOptions{"", 60003});
        devsim::DeviceConfig c;
        c.address = address;
        c.serial = "66600001";
        c.answerDiscovery = false;
        const int index = site_->AddDevice(c);
        EXPECT_GE(index, 0) << site_->LastError();
        EXPECT_TRUE(site_->Start());
        return index;
    }

    // A second monitor in the same process, with its own folder, lock and discovery port.
    CMonitorCore& StartSecondMonitor() {
        StartupOptions options = options_;
        EXPECT_TRUE(QDir(dir_.path()).mkpath("second"));
        options.configPath = Path("second/avlo-monitor.ini");
        options.lockPath = Path("second/avlo.lock");
        options.discoveryPort = static_cast<std::uint16_t>(options_.discoveryPort + 1000);
        second_ = std::make_unique<CMonitorCore>(options);
        second_->ShutdownPauseMs = 0;
        second_->SetKeyring(std::make_unique<FakeKeyring>(keyring_));
        second_->Start();
        return *second_;
    }

    // What the 10 s left behind, per event name and in the history, and the CPU it took.
    struct Figures {
        std::map<std::string, int> events;
        int historyRows = 0;
        double cpuSeconds = 0;
        int connections = 0;
    };
    Figures Run(int sim) {
        const std::size_t before = sink_.Events().size();
        const double cpu = CpuSeconds();
        Pump(kSeconds * 1000);
        Figures f;
        f.cpuSeconds = CpuSeconds() - cpu;
        const std::vector<CapturedEvent> all = sink_.Events();
        for (std::size_t i = before; i < all.size(); ++i) ++f.events[EventName(all[i].id)];
        f.historyRows = HistoryRows(options_.configPath);
        f.connections = site_ ? site_->Snapshot(sim).connections : Site().Snapshot(sim).connections;
        std::printf("in %d s: %d connections accepted, %d history rows, %.2f s of CPU;", kSeconds,
                    f.connections, f.historyRows, f.cpuSeconds);
        for (const auto& [name, count] : f.events) std::printf(" %s %d", name.c_str(), count);
        std::printf("\n");
        return f;
    }
    int HistoryRows(const std::string& configPath) {
        if (core_ && core_->History()) {
            EXPECT_TRUE(core_->History()->WaitIdle(5000));
        }
        CEventStore reader;
        int rows = 0;
        if (!reader.Open(EventStorePath(configPath), CEventStore::Mode::Read)) return -1;
        reader.ReadAll({}, [&](const EventRecord&) {
            ++rows;
            return true;
        });
        return rows;
    }
    int Count(std::uint32_t id, const std::string& name) const {
        const auto events = EventsWithId(id);
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const auto& e) {
            return e.text && e.text->rfind(name + " at ", 0) == 0;
        }));
    }

    std::unique_ptr<NetnsTestBed> bed_;
    std::optional<ScopedNetns> monitorNs_;
    std::unique_ptr<CMonitorCore> second_;
};

// A peer that accepts every connection and closes it at once, polled every second (each
// poll of a device that is not connected asks its thread to reconnect): the link is told of
// once, the retries wait, nothing else piles up, and the device is not shown as connected.
// Once the address serves again, the device is connected, told of, and polled.
TEST_F(ReconnectStormTest, APeerThatClosesAtOnceIsToldOfOnceAndRetriedCalmly) {
    AVLO_REQUIRE_NETNS();
    EnterBed();
    if (HasFatalFailure()) return;
    const std::string address = NetnsTestBed::DeviceAddress(0);
    const int sim = BedDevice(address);
    site_->SetHangUp(sim, true);
    WriteConfig("[Options]\r\nPoll=1000\r\n");
    StartQuiet();
    Add("Hostile", address);

    Figures f = Run(sim);
    EXPECT_LE(Count(EV_DEVICE_CONNECTED, "Hostile"), 2);
    EXPECT_LE(Count(EV_DEVICE_CONNECTION_LOST, "Hostile"), 2);
    EXPECT_EQ(f.events["EV_MONITOR_ERROR"], 0);
    // One attempt per poll and the thread's own retries, not one per turn of its loop.
    EXPECT_GE(f.connections, 2);
    EXPECT_LE(f.connections, 3 * kSeconds);
    EXPECT_LE(f.historyRows, 10);
    ASSERT_EQ(core_->DeviceCount(), 1);
    EXPECT_TRUE(WaitUntil([&] { return Cell(0, ColStatus) != "Connected"; }, 1500))
        << Cell(0, ColStatus).toStdString();
    EXPECT_EQ(Cell(0, ColCondition), "Unknown");
    EXPECT_EQ(Cell(0, ColAddress).toStdString(), address);
    EXPECT_FALSE(core_->Devices()[0]->StatusKnown);

    site_->SetHangUp(sim, false);
    const int connected = Count(EV_DEVICE_CONNECTED, "Hostile");
    // The next try comes within the retry wait (2 s); the rest is a connect and one status,
    // which a loaded machine may take a few seconds over.
    EXPECT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }, 8000))
        << Cell(0, ColStatus).toStdString();
    EXPECT_TRUE(
        WaitUntil([&] { return Count(EV_DEVICE_CONNECTED, "Hostile") == connected + 1; }, 2000));
}

// Two monitors polling one device that serves the newest connection: each takes it from the
// other, and both must back off instead of trading it thousands of times a second.
TEST_F(ReconnectStormTest, TwoMonitorsPollingOneDeviceStayCalm) {
    const int sim = QuietSim(2, "6660");
    WriteConfig("[Options]\r\nPoll=1000\r\n");
    StartQuiet();
    CMonitorCore& other = StartSecondMonitor();
    ASSERT_TRUE(WaitUntil([&] { return other.PollTimer->isActive(); }));
    Add("Amp A", Address(2));
    DeviceContext b = Ctx("Amp B", Address(2), true);
    ASSERT_GT(other.AddDevice(&b), 0);

    Figures f = Run(sim);
    for (const char* name : {"Amp A", "Amp B"}) {
        EXPECT_LE(Count(EV_DEVICE_CONNECTED, name), 4) << name;
        EXPECT_LE(Count(EV_DEVICE_CONNECTION_LOST, name), 4) << name;
    }
    EXPECT_EQ(f.events["EV_MONITOR_ERROR"], 0);
    EXPECT_LE(f.connections, 4 * kSeconds);
    EXPECT_LE(f.historyRows, 15);
}

}  // namespace
