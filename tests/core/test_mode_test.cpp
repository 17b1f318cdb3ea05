// Test mode against simulated devices, with the minutes of its durations shortened: each cycle
// switches the connected devices (fixed when it starts) to Active with all channels on, the
// next to Standby, through the paced requests, while the core goes on with everything else.
#include <QTimer>
#include <chrono>
#include <string>
#include <vector>

#include "CoreFixture.h"
#include "support/RequestArrivals.h"
#include "comms/Mymessages.h"

namespace {

using Texts = std::vector<std::string>;
using Arrivals = std::vector<RequestArrivals::Arrival>;

constexpr int MinuteMs = 300;

class TestModeTest : public CoreFixture {
protected:
    TestModeTest() : CoreFixture(58) {}

    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "5800", [&](devsim::DeviceConfig& c) {
            c.active = false;
            c.channelMask = 0x01;
            if (tweak) tweak(c);
        });
    }
    void StartWithTestSwitch() {
        StartCore({"test"});
        WaitForFirstPoll();
        core_->TestModeMinuteMs = MinuteMs;
    }
    // What the settings dialog's OK does.
    void SwitchOn(int active, int standby) {
        core_->TestModeSettings.On = true;
        core_->TestModeSettings.Active = active;
        core_->TestModeSettings.Standby = standby;
        core_->TestModeSettingsChanged();
    }
    // The settings dialog's OK with "Disable" chosen.
    void SwitchOff() {
        core_->TestModeSettings.On = false;
        core_->TestModeSettingsChanged();
    }
    bool Connected(int row) const { return Cell(row, ColStatus) == "Connected"; }
    // Three simulated devices from host on, registered and connected: their simulator ids,
    // none when they did not all connect.
    std::vector<int> ThreeConnected(int host) {
        std::vector<int> sims;
        for (int h = host; h < host + 3; ++h) {
            sims.push_back(Sim(h));
            Add("Amp " + std::to_string(h), Address(h));
        }
        if (WaitUntil([&] { return Connected(0) && Connected(1) && Connected(2); })) return sims;
        ADD_FAILURE() << "the devices did not connect";
        return {};
    }
    // Switches test mode on and waits for the cycle's first request to reach the first device.
    bool CycleUnderWay(const RequestArrivals& arrivals, int first) {
        SwitchOn(1, 1);
        return WaitUntil([&] { return arrivals.Count(first, true) == 1; }, 2000);
    }
    // The commands of the cycles so far, as "device:text".
    static Texts Labels(const Arrivals& arrivals) {
        Texts out;
        for (const auto& a : arrivals) out.push_back(std::to_string(a.device) + ":" + a.text);
        return out;
    }
};

TEST_F(TestModeTest, CyclesSwitchTheConnectedDevicesToActiveThenStandbyASecondApart) {
    const int first = Sim(2);
    const int second = Sim(3);
    const int refusing = Sim(4);
    const int unticked = Sim(5);
    Site().SetRefuseConnections(refusing, true);
    RequestArrivals arrivals(Site());
    StartWithTestSwitch();
    Add("Left", Address(2));
    Add("Right", Address(3));
    Add("Refusing", Address(4));
    Add("Unticked", Address(5), false);
    ASSERT_TRUE(WaitUntil([&] { return Connected(0) && Connected(1); }));
    ASSERT_EQ(Cell(2, ColStatus), "Connecting...");

    SwitchOn(1, 2);
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(-1, true) >= 4; }, 6000));
    ASSERT_TRUE(WaitUntil([&] { return core_->TestPhase; }, 2000));
    const std::string a = std::to_string(first) + ":";
    const std::string b = std::to_string(second) + ":";
    Arrivals commands = arrivals.Of(-1, true);
    EXPECT_EQ(Labels(commands), (Texts{a + "*p1\n", a + "*m=FF\n", b + "*p1\n", b + "*m=FF\n"}));
    for (const long gap : RequestArrivals::GapsMs(commands)) {
        EXPECT_GE(gap, 900);
        EXPECT_LE(gap, 1600);
    }
    for (const int sim : {first, second}) {
        const devsim::DeviceSnapshot s = Site().Snapshot(sim);
        EXPECT_TRUE(s.active) << sim;
        EXPECT_EQ(s.channelMask, 0x7F) << sim;  // every channel the model has
    }
    // The Active time: one minute.
    EXPECT_EQ(core_->TestModeTimer->interval(), MinuteMs);
    EXPECT_TRUE(core_->TestModeTimer->isActive());

    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(-1, true) >= 8; }, 7000));
    ASSERT_TRUE(WaitUntil([&] { return !core_->TestPhase; }, 2000));
    commands = arrivals.Of(-1, true);
    EXPECT_EQ(Labels(Arrivals(commands.begin() + 4, commands.end())),
              (Texts{a + "*p0\n", a + "*m=FF\n", b + "*p0\n", b + "*m=FF\n"}));
    // The next cycle counts from the end of the sending: the second after the last request,
    // then the Active minute.
    const long between = RequestArrivals::GapsMs(commands)[3];
    EXPECT_GE(between, 1000 + MinuteMs - 100);
    EXPECT_LE(between, 1000 + MinuteMs + 700);
    for (const int sim : {first, second}) {
        EXPECT_FALSE(Site().Snapshot(sim).active) << sim;
    }
    EXPECT_EQ(core_->TestModeTimer->interval(), 2 * MinuteMs);  // the Standby time

    // Devices that are not connected get nothing.
    EXPECT_TRUE(Site().Snapshot(refusing).requests.empty());
    EXPECT_TRUE(Site().Snapshot(unticked).requests.empty());
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
}

// A cycle over several devices takes seconds; the statuses of the devices keep being handled
// meanwhile, before the cycle reaches them.
TEST_F(TestModeTest, StatusesAreHandledWhileACycleRuns) {
    RequestArrivals arrivals(Site());
    StartWithTestSwitch();
    const std::vector<int> sims = ThreeConnected(10);
    ASSERT_EQ(sims.size(), 3u);
    const auto lastId = core_->Devices()[2]->DeviceId;

    ASSERT_TRUE(CycleUnderWay(arrivals, sims[0]));
    EXPECT_TRUE(core_->TestCycleRunning());
    Site().SetChannelFault(sims[2], 3, devsim::ChannelFault::Temperature, true);
    core_->SendRequest(lastId, StatusQuery);
    ASSERT_TRUE(WaitUntil([&] { return core_->Devices()[2]->Status.TempOk[2] == 0; }, 1500));
    EXPECT_EQ(arrivals.Count(sims[2], true), 0u) << "the status waited for the cycle";
    EXPECT_FALSE(core_->TestPhase);
}

// "Disable" ends a cycle that is under way: what it has not handed over yet never goes out,
// while a user's Apply waiting for the same device does. Switched on again, test mode starts a
// whole new cycle.
TEST_F(TestModeTest, SwitchingOffStopsTheRunningCycleButAQueuedApplyStillGoesOut) {
    RequestArrivals arrivals(Site());
    StartWithTestSwitch();
    const std::vector<int> sims = ThreeConnected(50);
    ASSERT_EQ(sims.size(), 3u);
    const auto firstId = core_->Devices()[0]->DeviceId;

    ASSERT_TRUE(CycleUnderWay(arrivals, sims[0]));
    // The cycle's *m=FF is due a second after its *p1; a loaded machine may have sent it.
    const bool channelsHeld = core_->PacedRequestsWaiting(firstId) == 1;
    // Standby with channels 1 and 2, queued behind the cycle's request to the same device.
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(firstId, 0, 0x03), 0);
    SwitchOff();
    EXPECT_FALSE(core_->TestCycleRunning());
    EXPECT_FALSE(core_->TestModeTimer->isActive());

    // Long enough for the cycle to have reached every device.
    Pump(4500);
    EXPECT_EQ(RequestArrivals::Texts(arrivals.Of(sims[0], true)),
              channelsHeld ? (Texts{"*p1\n", "*p0\n", "*m=03\n"})
                           : (Texts{"*p1\n", "*m=FF\n", "*p0\n", "*m=03\n"}));
    EXPECT_EQ(arrivals.Count(sims[1], true), 0u);
    EXPECT_EQ(arrivals.Count(sims[2], true), 0u);
    EXPECT_FALSE(core_->TestPhase) << "a cycle that was cut short does not count";

    SwitchOn(1, 1);
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(sims[2], true) == 2; }, 8000));
    for (const int sim : sims) {
        const Arrivals commands = arrivals.Of(sim, true);
        ASSERT_GE(commands.size(), 2u) << sim;
        EXPECT_EQ(RequestArrivals::Texts(commands, commands.size() - 2),
                  (Texts{"*p1\n", "*m=FF\n"}))
            << sim;
    }
}

// Devices registered but none connected: nothing is sent, yet each cycle flips the phase and
// waits its full time.
TEST_F(TestModeTest, WithNoDeviceConnectedNothingIsSentButThePhaseFlips) {
    const int sim = Sim(20);
    RequestArrivals arrivals(Site());
    StartWithTestSwitch();
    Add("Unticked", Address(20), false);
    SwitchOn(1, 2);
    ASSERT_TRUE(WaitUntil([&] { return core_->TestPhase; }, 1000));
    EXPECT_EQ(core_->TestModeTimer->interval(), MinuteMs);
    EXPECT_TRUE(core_->TestModeTimer->isActive());
    ASSERT_TRUE(WaitUntil([&] { return !core_->TestPhase; }, 2000));
    EXPECT_EQ(core_->TestModeTimer->interval(), 2 * MinuteMs);
    EXPECT_TRUE(core_->TestModeTimer->isActive());
    EXPECT_EQ(arrivals.Count(sim), 0u);
}

// An empty table: the cycle looks again after a minute, without touching the phase, and a
// device registered meanwhile is switched then.
TEST_F(TestModeTest, WithAnEmptyTableTheCycleLooksAgainAfterAMinute) {
    const int sim = Sim(30);
    RequestArrivals arrivals(Site());
    StartWithTestSwitch();
    SwitchOn(1, 1);
    ASSERT_TRUE(WaitUntil([&] { return core_->TestModeTimer->interval() == MinuteMs; }, 1000));
    EXPECT_TRUE(core_->TestModeTimer->isActive());
    EXPECT_FALSE(core_->TestPhase);
    Pump(MinuteMs);
    EXPECT_FALSE(core_->TestPhase);

    Add("Late", Address(30));
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(sim, true) == 2; }, 4000));
    EXPECT_EQ(RequestArrivals::Texts(arrivals.Of(sim, true)), (Texts{"*p1\n", "*m=FF\n"}));
}

// Without the "test" switch an On read from the file starts nothing, and neither does the
// timer's handler when it is called.
TEST_F(TestModeTest, WithoutTheTestSwitchAnOnFromTheFileNeverStartsACycle) {
    const int sim = Sim(40);
    WriteConfig(
        "[Test]\r\nOn=1\r\nActive=1\r\nStandby=1\r\n[AVLO]\r\nRegistered=1\r\n"
        "Name 0=Stored\r\nIP 0=" +
        Address(40) +
        "\r\navlo 0=1\r\nModel 0=4\r\n"
        "Serial 0=58001040\r\n");
    RequestArrivals arrivals(Site());
    StartCore();
    core_->TestModeMinuteMs = MinuteMs;
    ASSERT_TRUE(core_->TestModeSettings.On);
    ASSERT_TRUE(WaitUntil([&] { return Connected(0); }));
    EXPECT_FALSE(core_->TestModeTimer->isActive());
    core_->TestModeTimerTimer();
    Pump(1500);
    EXPECT_EQ(arrivals.Count(sim, true), 0u);
    EXPECT_FALSE(core_->TestPhase);
    EXPECT_FALSE(core_->TestModeTimer->isActive());
}

}  // namespace
