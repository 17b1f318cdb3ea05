// Forged discovery replies on a real link: another host on the devices' side of the cable
// sends replies that look like an amplifier's, out of turn, from another network, without a
// serial number, claiming a registered device's serial number, or in a flood of new ones.
// None of them may register, move or unsettle a device; a device that really moves is still
// followed at once.
#include <gmock/gmock.h>

#include <cstdio>

#include "DiscoveryBedFixture.h"

namespace {

constexpr int kBedDevices = 20;  // 10.77.0.2 .. 10.77.0.21
const char* const kOffNetSender = "10.77.1.9";

class DiscoveryForgeryTest : public DiscoveryBedFixture {
protected:
    DiscoveryForgeryTest() : DiscoveryBedFixture(10, kBedDevices) {}

    // The genuine amplifier at .2 (a channel fault, so its condition is never "OK") and a
    // fake one at .3 that answers status queries with its own serial number and all OK.
    void StartSiteWithFake() {
        site_ = &NewSite();
        genuine_ = AddBedDevice(*site_, 0, "03", "F0000001");
        fake_ = AddBedDevice(*site_, 1, "03", "FAKE0001", /*answerDiscovery=*/false);
        StartSite(*site_);
        site_->SetChannelFault(genuine_, 1, devsim::ChannelFault::Channel, true);
    }
    void WriteSite(const std::string& options) {
        WriteConfig(
            "[Options]\r\n" + options +
            "[AVLO]\r\nRegistered=2\r\n"
            "Name 0=Faulty\r\nIP 0=10.77.0.2\r\navlo 0=1\r\nModel 0=4\r\nSerial 0=F0000001\r\n"
            "Name 1=Manual\r\nIP 1=10.77.0.220\r\navlo 1=0\r\n");
    }
    Device* Faulty() const { return ByName("Faulty"); }
    Device* Manual() const { return ByName("Manual"); }

    devsim::Site* site_ = nullptr;
    int genuine_ = -1;
    int fake_ = -1;
};

std::string Reply(const std::string& serial) {
    return "VELKAN:M03R" + serial + "\n";
}

TEST_F(DiscoveryForgeryTest, RepliesOutsideTheMonitorsRoundsAreIgnored) {
    StartSiteWithFake();
    WriteSite("");
    StartSearchableCore();
    ASSERT_TRUE(WaitUntil([&] { return Faulty()->ConnState == Connected; }));
    Pump(kRoundMs);

    // Nobody asked: a new serial number, and the genuine device's serial number from the
    // address of a device that would even confirm it.
    SendFromDevice(Reply("N0000001"), NetnsTestBed::DeviceAddress(4));
    SendFromDevice(Reply("FAKE0001"), NetnsTestBed::DeviceAddress(1));
    Pump(kRoundMs);
    EXPECT_EQ(core_->DeviceCount(), 2);
    EXPECT_EQ(Faulty()->IpAddress, "10.77.0.2");
    EXPECT_EQ(site_->Snapshot(fake_).connections, 0);

    // The same replies within a round of the monitor's own are taken.
    OpenRound();
    SendFromDevice(Reply("N0000001"), NetnsTestBed::DeviceAddress(4));
    ASSERT_TRUE(WaitUntil([&] { return core_->DeviceCount() == 3; }));
    EXPECT_EQ(BySerial("N0000001")->IpAddress, NetnsTestBed::DeviceAddress(4));
}

TEST_F(DiscoveryForgeryTest, RepliesFromAnotherNetworkOnTheLinkAreIgnored) {
    AddOffNetAddress(std::string(kOffNetSender) + "/24");
    ASSERT_FALSE(HasFatalFailure());
    StartSearchableCore();
    ASSERT_TRUE(WaitUntil([&] { return core_->PollTimer->isActive(); }));
    Pump(kRoundMs);

    OpenRound();
    SendFromDevice(Reply("OFFNET01"), kOffNetSender);
    SendFromDevice(Reply("ONNET001"), NetnsTestBed::DeviceAddress(4));
    Pump(kRoundMs);
    EXPECT_EQ(core_->DeviceCount(), 1);
    EXPECT_NE(BySerial("ONNET001"), nullptr);
    EXPECT_EQ(BySerial("OFFNET01"), nullptr);
}

struct BurstCase {
    const char* name;
    int serials;
    int registered;
    int events;
};

void PrintTo(const BurstCase& c, std::ostream* os) {
    *os << c.name;
}

class DiscoveryBurstTest : public DiscoveryForgeryTest,
                           public testing::WithParamInterface<BurstCase> {};

TEST_P(DiscoveryBurstTest, MoreThanTenNewSerialsInOneRoundRegisterNone) {
    const BurstCase& c = GetParam();
    StartSearchableCore();
    ASSERT_TRUE(WaitUntil([&] { return core_->PollTimer->isActive(); }));
    Pump(kRoundMs);

    OpenRound();
    for (int i = 0; i < c.serials; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "B%07d", i);
        SendFromDevice(Reply(serial), NetnsTestBed::DeviceAddress(4 + i));
    }
    Pump(kRoundMs);
    EXPECT_EQ(core_->DeviceCount(), c.registered);
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), static_cast<std::size_t>(c.registered));
    const auto bursts = EventsWithId(EV_DISCOVERY_BURST);
    ASSERT_EQ(bursts.size(), static_cast<std::size_t>(c.events));
    if (c.events == 1) {
        EXPECT_EQ(bursts[0].type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(bursts[0].text.value_or(""),
                  "11 unregistered serial numbers answered one discovery request, more than 10 "
                  "at once: none of them was registered. Register the devices by hand.");
    }
    StopCore();
    EXPECT_NE(ReadConfig().find("Registered=" + std::to_string(c.registered) + "\r\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Discovery, DiscoveryBurstTest,
                         testing::Values(BurstCase{"Ten", 10, 10, 0},
                                         BurstCase{"Eleven", 11, 0, 1}),
                         [](const testing::TestParamInfo<BurstCase>& info) {
                             return std::string(info.param.name);
                         });

// Ten seconds of forged replies every 200 ms while the monitor polls every second, with
// "nolimit" (an alert on every onset of a fault).
TEST_F(DiscoveryForgeryTest, TenSecondsOfForgedRepliesChangeNothing) {
    AddOffNetAddress(std::string(kOffNetSender) + "/24");
    ASSERT_FALSE(HasFatalFailure());
    StartSiteWithFake();
    WriteSite("Poll=1000\r\n");
    int alerts = 0;
    StartCore({"nolimit"});
    core_->AlertRecorder = [&](Device&, const DeviceStatus&) { return ++alerts, true; };
    ASSERT_TRUE(
        WaitUntil([&] { return Faulty()->StatusKnown && Faulty()->ConnState == Connected; }));
    Pump(kRoundMs);
    const int alertsBefore = alerts;
    const std::int32_t countedBefore = Faulty()->Stats[StatsChanErr];
    const int roundsBefore = site_->Snapshot(genuine_).discoveryRequests;

    int flips = 0;
    int addressChanges = 0;
    std::string lastCondition = Faulty()->Condition;
    QObject::connect(core_.get(), &CMonitorCore::DeviceRowChanged, core_.get(), [&](std::uint16_t) {
        if (Device* d = Faulty(); d != nullptr) {
            if (d->Condition == "OK" && lastCondition != "OK") ++flips;
            lastCondition = d->Condition;
            if (d->IpAddress != "10.77.0.2") ++addressChanges;
        }
    });
    int tick = 0;
    QTimer forger;
    QObject::connect(&forger, &QTimer::timeout, [&] {
        SendFromDevice(Reply("F0000001"), NetnsTestBed::DeviceAddress(1));  // the fake's address
        SendFromDevice("VELKAN:M03\nR", NetnsTestBed::DeviceAddress(2));
        SendFromDevice(Reply("OFFNET01"), kOffNetSender);
        for (int k = 0; k < 12; ++k) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "B%07d", tick * 12 + k);
            SendFromDevice(Reply(serial), NetnsTestBed::DeviceAddress(4 + k));
        }
        ++tick;
    });
    forger.start(200);
    Pump(10000);
    forger.stop();
    Pump(kRoundMs);
    const int rounds = site_->Snapshot(genuine_).discoveryRequests - roundsBefore;

    const auto bursts = EventsWithId(EV_DISCOVERY_BURST);
    std::printf(
        "after %d ticks, %d rounds: %d devices, %zu moves, %d address changes, %d flips to OK, "
        "%d alerts, counter +%d, %zu burst events, %zu registered events\n",
        tick, rounds, core_->DeviceCount(), EventsWithId(EV_DEVICE_MOVED).size(), addressChanges,
        flips, alerts - alertsBefore, Faulty() ? Faulty()->Stats[StatsChanErr] - countedBefore : -1,
        bursts.size(), EventsWithId(EV_DEVICE_REGISTERED).size());

    EXPECT_GE(tick, 40);
    EXPECT_EQ(core_->DeviceCount(), 2);
    ASSERT_NE(Faulty(), nullptr);
    ASSERT_NE(Manual(), nullptr);
    EXPECT_EQ(Faulty()->IpAddress, "10.77.0.2");
    EXPECT_EQ(Faulty()->Serial, "F0000001");
    EXPECT_EQ(Faulty()->ConnState, Connected);
    EXPECT_EQ(Manual()->IpAddress, "10.77.0.220");
    EXPECT_EQ(addressChanges, 0);
    EXPECT_EQ(flips, 0);
    EXPECT_EQ(alerts, alertsBefore);
    EXPECT_EQ(Faulty()->Stats[StatsChanErr], countedBefore);
    EXPECT_TRUE(EventsWithId(EV_DEVICE_MOVED).empty());
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 2u);  // the two of the file
    EXPECT_EQ(EventsWithId(EV_DEVICE_CONNECTED).size(), 1u);
    // One event for each round the flood reached, not one per reply.
    EXPECT_GE(bursts.size(), 5u);
    EXPECT_LE(bursts.size(), static_cast<std::size_t>(rounds) + 1);
    // The fake device was asked, and its own serial number kept the device where it is.
    EXPECT_GE(site_->Snapshot(fake_).statusQueries, 1);
    StopCore();
    EXPECT_NE(ReadConfig().find("Registered=2\r\n"), std::string::npos);
}

// DHCP gives a device a new address: the next poll's discovery finds it there, a status
// query there confirms it, and it is polled at the new address within that poll.
TEST_F(DiscoveryForgeryTest, AGenuineMoveIsFollowedWithinOnePoll) {
    {
        devsim::Site& before = NewSite();
        AddBedDevice(before, 0, "03", "G0000001");
        StartSite(before);
    }
    StartAndSettle(1);
    ASSERT_FALSE(HasFatalFailure());
    Device* d = BySerial("G0000001");
    ASSERT_NE(d, nullptr);
    sites_.clear();
    devsim::Site& after = NewSite();
    AddBedDevice(after, 5, "03", "G0000001");
    StartSite(after);

    core_->PollTimerTimer();
    ASSERT_TRUE(WaitUntil(
        [&] { return d->IpAddress == NetnsTestBed::DeviceAddress(5) && d->ConnState == Connected; },
        3000))
        << d->IpAddress;
    EXPECT_EQ(after.Snapshot(0).discoveryRequests, 1);
    const auto moved = EventsWithId(EV_DEVICE_MOVED);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(moved[0].text.value_or(""), d->Name + " moved from " +
                                              NetnsTestBed::DeviceAddress(0) + " to " +
                                              NetnsTestBed::DeviceAddress(5));
}

}  // namespace
