// The poll timer as the settings file sets it: an interval below a second never floods the
// site, the value in the file is kept as written, and short polls bring a device that was away
// back into the list.
#include <string>
#include <vector>

#include "CoreFixture.h"

namespace {


class PollIntervalTest : public CoreFixture {
protected:
    PollIntervalTest() : CoreFixture(41) {}

    void WritePoll(const std::string& poll, const std::string& devices = {}) {
        WriteConfig("[Options]\r\nPoll=" + poll + "\r\n" + devices);
    }
};

struct PollCase {
    const char* name;
    const char* text;  // as written in the file
    int value;         // what the file means
    int interval;      // what the timer uses
};

class PollValueTest : public PollIntervalTest, public testing::WithParamInterface<PollCase> {};

TEST_P(PollValueTest, TheTimerRunsNoFasterThanOnceASecondAndTheFileKeepsTheValue) {
    const PollCase& c = GetParam();
    WritePoll(c.text);
    StartQuiet();
    EXPECT_EQ(core_->Options.Poll, c.value);
    EXPECT_EQ(core_->PollTimer->interval(), c.interval);
    StopCore();
    EXPECT_NE(ReadConfig().find(std::string("\r\nPoll=") + c.text + "\r\n"), std::string::npos)
        << ReadConfig();
}

INSTANTIATE_TEST_SUITE_P(Values, PollValueTest,
                         testing::Values(PollCase{"zero", "0", 0, 1000},
                                         PollCase{"one", "1", 1, 1000},
                                         PollCase{"just_below_a_second", "999", 999, 1000},
                                         PollCase{"negative", "-20", -20, 1000},
                                         PollCase{"a_second", "1000", 1000, 1000},
                                         PollCase{"longer", "1500", 1500, 1500}),
                         [](const auto& info) { return std::string(info.param.name); });

// With Poll=0 the site sees one discovery broadcast at start-up and then one a second, not
// one per turn of the event loop.
TEST_F(PollIntervalTest, PollZeroDoesNotFloodTheSite) {
    const int sim = AddSimDevice(2, "03", "41000002");
    WritePoll("0");
    StartQuiet();
    Pump(2500);
    const devsim::DeviceSnapshot seen = Site().Snapshot(sim);
    // The start-up poll and the timer's at about 1 s and 2 s; one more for a slow start.
    EXPECT_GE(seen.discoveryRequests, 2);
    EXPECT_LE(seen.discoveryRequests, 4);
    EXPECT_LE(seen.statusQueries, 6);
    EXPECT_EQ(core_->DeviceCount(), 1);  // the device answered and was registered once
}

// A device away for four seconds (an amplifier rebooting) with a poll of one second, which is
// faster than the connection thread's retry wait: once it is back, it is shown connected with
// its status again within a poll or two.
TEST_F(PollIntervalTest, ADeviceThatWasAwayIsConnectedAgainWithOneSecondPolls) {
    const int sim = QuietSim(3, "4100");
    WritePoll("1000", "[AVLO]\r\nRegistered=1\r\nName 0=Stage\r\nIP 0=" + Address(3) +
                          "\r\navlo 0=1\r\nSerial 0=41001003\r\n");
    StartQuiet();
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    Site().SetRefuseConnections(sim, true);
    Site().DropConnection(sim);
    ASSERT_TRUE(WaitUntil([&] { return Cell(0, ColStatus) != "Connected"; }));
    Pump(4000);
    EXPECT_TRUE(Shows(0, "Connecting...", "Unknown"));

    Site().SetRefuseConnections(sim, false);
    EXPECT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }, 3000))
        << Cell(0, ColStatus).toStdString() << " | " << Cell(0, ColCondition).toStdString();
    EXPECT_EQ(Site().Snapshot(sim).connections, 2);
}

// A new interval chosen in the options dialog counts from the moment it is applied, with the
// same floor as at start-up: the site is polled at the new pace without a restart.
TEST_F(PollIntervalTest, ANewIntervalTakesEffectAtOnceAndNeverGoesBelowASecond) {
    const int sim = AddSimDevice(4, "03", "41000004");
    WritePoll("600000");
    StartQuiet();
    ASSERT_EQ(core_->PollTimer->interval(), 600000);
    const int before = Site().Snapshot(sim).discoveryRequests;

    core_->Options.Poll = 0;
    core_->ApplyPollInterval();
    EXPECT_EQ(core_->PollTimer->interval(), 1000);
    EXPECT_TRUE(core_->PollTimer->isActive());
    Pump(2500);
    const int polls = Site().Snapshot(sim).discoveryRequests - before;
    EXPECT_GE(polls, 2);
    EXPECT_LE(polls, 3);

    core_->Options.Poll = 60000;
    core_->ApplyPollInterval();
    EXPECT_EQ(core_->PollTimer->interval(), 60000);
    EXPECT_TRUE(core_->PollTimer->isActive());
    StopCore();
    EXPECT_NE(ReadConfig().find("\r\nPoll=60000\r\n"), std::string::npos) << ReadConfig();
}

// However a device came into the table (the settings file, the register dialog, a discovery
// reply), its connection retries a peer that keeps dropping the link at most one poll
// interval apart, and follows a new interval from the options; the thread's own limit is a
// minute, which would keep a device that is back away from the list for that long.
TEST_F(PollIntervalTest, EveryConnectionRetriesWithinThePollInterval) {
    QuietSim(5, "4100");
    QuietSim(6, "4100");
    AddSimDevice(7, "03", "41000007");
    WritePoll("1500", "[AVLO]\r\nRegistered=1\r\nName 0=From file\r\nIP 0=" + Address(5) +
                          "\r\navlo 0=1\r\nSerial 0=41001005\r\n");
    StartQuiet();
    Add("By hand", Address(6));
    ASSERT_TRUE(WaitUntil([&] { return core_->DeviceCount() == 3; }))
        << "the discovered device was not registered";
    const auto longestWaits = [&] {
        std::vector<int> waits;
        for (const auto& device : core_->Devices()) {
            EXPECT_TRUE(device->Connection) << device->Name;
            if (device->Connection) waits.push_back(device->Connection->LongestWaitMs());
        }
        return waits;
    };
    EXPECT_EQ(longestWaits(), std::vector<int>(3, 1500));

    core_->Options.Poll = 4000;
    core_->ApplyPollInterval();
    EXPECT_EQ(longestWaits(), std::vector<int>(3, 4000));
}

}  // namespace
