// Discovery processing and the network search on a real link: the monitor core's sockets live
// in the monitor namespace of a test bed and the simulated amplifiers in the device namespace,
// so the discovery request really goes to 255.255.255.255 and crosses a veth pair, while
// nothing can leave the machine.
#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <set>

#include "DiscoveryBedFixture.h"

namespace {

constexpr int kBedDevices = 4;  // 10.77.0.2 .. 10.77.0.5
constexpr int kStatusColumn = 3;
constexpr std::uint8_t kModelRV12 = 3;  // model text "02"
constexpr std::uint8_t kModelRV13 = 4;  // model text "03"

const char* const kNoneFound = "No Velkan devices have been found on the local network.";
const char* const kOneFound = "1 Velkan device has been found on the local network.";
const char* const kThreeFound = "3 Velkan devices have been found on the local network.";

class DiscoverySearchTest : public DiscoveryBedFixture {
protected:
    DiscoverySearchTest() : DiscoveryBedFixture(10, kBedDevices) {}
};

// ---- discovery at start-up ----

TEST_F(DiscoverySearchTest, StartupBroadcastRegistersEveryAnsweringDevice) {
    struct Sim {
        const char* model;
        const char* serial;
        std::uint8_t code;
    };
    const Sim sims[] = {{"02", "12000001", kModelRV12}, {"02", "12000002", kModelRV12}, {"03", "13000003", kModelRV13}};
    devsim::Site& site = NewSite();
    for (int i = 0; i < 3; ++i) AddBedDevice(site, i, sims[i].model, sims[i].serial);
    StartSite(site);

    StartAndSettle(3);
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(sims[i].serial);
        const CMonitorCore::Device* d = BySerial(sims[i].serial);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->IpAddress, NetnsTestBed::DeviceAddress(i));
        EXPECT_EQ(d->ModelCode, sims[i].code);
        EXPECT_TRUE(d->AvloEnabled);
        EXPECT_EQ(d->ConnState, Connected);
        EXPECT_TRUE(Ticked(d->ListIndex));
        EXPECT_EQ(Cell(d->ListIndex, 2).toStdString(), NetnsTestBed::DeviceAddress(i));
        EXPECT_EQ(Cell(d->ListIndex, kStatusColumn).toStdString(), "Connected");
        // The device itself saw the monitor's connection and its status queries.
        const devsim::DeviceSnapshot s = site.Snapshot(i);
        EXPECT_EQ(s.connections, 1);
        EXPECT_GE(s.statusQueries, 1);
    }

    // Names by model; of two devices of one model, the one registered first has the plain name.
    EXPECT_EQ(BySerial("13000003")->Name, "My Velkan RV13");
    const CMonitorCore::Device* a = BySerial("12000001");
    const CMonitorCore::Device* b = BySerial("12000002");
    const CMonitorCore::Device* first = a->ListIndex < b->ListIndex ? a : b;
    const CMonitorCore::Device* second = first == a ? b : a;
    EXPECT_EQ(first->Name, "My Velkan RV12");
    EXPECT_EQ(second->Name, "My Velkan RV12 1");
    EXPECT_EQ(core_->DeviceCount(), 3);

    const auto registered = EventsWithId(EV_DEVICE_REGISTERED);
    std::multiset<std::string> texts;
    for (const auto& e : registered) texts.insert(e.text.value_or("<none>"));
    const std::multiset<std::string> expected{"My Velkan RV12 at " + a->IpAddress,
                                              "My Velkan RV12 1 at " + b->IpAddress,
                                              "My Velkan RV13 at " + NetnsTestBed::DeviceAddress(2)};
    const std::multiset<std::string> expectedSwapped{"My Velkan RV12 1 at " + a->IpAddress,
                                                     "My Velkan RV12 at " + b->IpAddress,
                                                     "My Velkan RV13 at " + NetnsTestBed::DeviceAddress(2)};
    EXPECT_TRUE(texts == expected || texts == expectedSwapped) << testing::PrintToString(texts);
    for (const auto& e : registered) EXPECT_EQ(e.type, EVENTLOG_INFORMATION_TYPE);

    // One broadcast at start-up, and no other until the poll interval (five minutes) is up.
    Pump(1000);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(site.Snapshot(i).discoveryRequests, 1) << i;
    EXPECT_EQ(core_->DeviceCount(), 3);
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 3u);
}

TEST_F(DiscoverySearchTest, WithTheAvloOptionOffNewDevicesAreRegisteredWithoutAConnection) {
    WriteConfig("[Options]\r\nAvlo=0\r\n");
    devsim::Site& site = NewSite();
    AddBedDevice(site, 0, "03", "40000001");
    StartSite(site);

    StartAndSettle(1, /*connected=*/false);
    ASSERT_FALSE(HasFatalFailure());
    const CMonitorCore::Device* d = BySerial("40000001");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Name, "My Velkan RV13");
    EXPECT_EQ(d->IpAddress, NetnsTestBed::DeviceAddress(0));
    EXPECT_EQ(d->ModelCode, kModelRV13);
    EXPECT_FALSE(d->AvloEnabled);
    EXPECT_FALSE(d->Connection);
    EXPECT_FALSE(Ticked(d->ListIndex));
    Pump(1000);
    EXPECT_EQ(d->ConnState, Disconnected);
    EXPECT_EQ(site.Snapshot(0).connections, 0);
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 1u);
}

// A reply without a serial number names no device: it is never registered, and it moves no
// record, not even one that has no serial number either. (The serial number is the text after
// the R, up to 8 characters, so only an R at the very end of a reply gives an empty one.)
TEST_F(DiscoverySearchTest, ReplyWithoutSerialNamesNoDevice) {
    WriteConfig(
        "[AVLO]\r\nRegistered=2\r\nName 0=Numbered\r\nIP 0=10.77.0.210\r\navlo 0=0\r\n"
        "Serial 0=99999999\r\nName 1=Manual\r\nIP 1=10.77.0.211\r\navlo 1=0\r\n");
    StartSearchableCore();
    ASSERT_TRUE(WaitUntil([&] { return core_->PollTimer->isActive(); }));
    Pump(kRoundMs);  // the start-up round is over
    ASSERT_EQ(core_->DeviceCount(), 2);
    const CMonitorCore::Device* numbered = core_->Devices()[0].get();
    const CMonitorCore::Device* manual = core_->Devices()[1].get();

    // Within a round of the monitor's own; a new device's reply sent after them shows when
    // the round has been handled.
    OpenRound();
    SendFromDevice("VELKAN:M03\nR", NetnsTestBed::DeviceAddress(0));
    SendFromDevice("VELKAN:M03\nR", NetnsTestBed::DeviceAddress(1));
    SendFromDevice("VELKAN:M03R77000003\n", NetnsTestBed::DeviceAddress(3));
    ASSERT_TRUE(WaitUntil([&] { return core_->DeviceCount() == 3; }));
    Pump(200);
    EXPECT_EQ(core_->DeviceCount(), 3);
    EXPECT_EQ(numbered->IpAddress, "10.77.0.210");
    EXPECT_EQ(manual->IpAddress, "10.77.0.211");
    EXPECT_EQ(manual->Name, "Manual");
    EXPECT_EQ(manual->ModelCode, 0);
    EXPECT_EQ(BySerial("77000003")->IpAddress, NetnsTestBed::DeviceAddress(3));
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 3u);
    EXPECT_TRUE(EventsWithId(EV_DEVICE_MOVED).empty());
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
}

// ---- a registered device at a new address ----

struct MoveCase {
    const char* name;
    bool keepAvlo;  // false: the user unticked the device before it moved
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

class MovedDeviceTest : public DiscoverySearchTest, public testing::WithParamInterface<MoveCase> {};

TEST_P(MovedDeviceTest, GetsItsNewAddressAndKeepsItsNameAndAvloSetting) {
    const bool avlo = GetParam().keepAvlo;
    const std::string oldAddress = NetnsTestBed::DeviceAddress(0);
    const std::string newAddress = NetnsTestBed::DeviceAddress(1);
    {
        devsim::Site& first = NewSite();
        AddBedDevice(first, 0, "02", "50000001");
        StartSite(first);
    }
    StartAndSettle(1);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(sites_[0]->Snapshot(0).connections, 1);

    // The user names the device and, in one case, unticks it; the option stays on.
    ASSERT_TRUE(core_->Options.Avlo);
    const int row = core_->Devices()[0]->ListIndex;
    DeviceContext edit = Ctx("Stage Left", oldAddress, avlo);
    edit.RegisterMode = false;
    ASSERT_TRUE(core_->UpdateDevice(row, &edit, true));
    ASSERT_TRUE(WaitUntil([&] { return core_->Devices()[0]->ConnState == (avlo ? Connected : Disconnected); }));

    // The amplifier is moved: gone from the old address, answering from the new one.
    sites_[0].reset();
    devsim::Site& second = NewSite();
    AddBedDevice(second, 1, "02", "50000001");
    StartSite(second);

    const SearchResult r = Search();
    ExpectSingleResult(r, kOneFound);
    const CMonitorCore::Device* d = core_->Devices()[0].get();
    EXPECT_EQ(core_->DeviceCount(), 1);
    EXPECT_EQ(d->IpAddress, newAddress);
    EXPECT_EQ(d->Name, "Stage Left");
    EXPECT_EQ(d->AvloEnabled, avlo);
    EXPECT_EQ(d->Serial, "50000001");
    EXPECT_EQ(d->ModelCode, kModelRV12);
    EXPECT_EQ(Cell(row, 1).toStdString(), "Stage Left");
    EXPECT_EQ(Cell(row, 2).toStdString(), newAddress);
    EXPECT_EQ(Ticked(row), avlo);
    if (avlo) {
        // After the status query that proved the move, a new connection thread to the new
        // address: the device there is connected and polled.
        EXPECT_TRUE(second.WaitFor(0, [](const devsim::DeviceSnapshot& s) { return s.connections == 2 && s.statusQueries >= 2; },
                                   std::chrono::seconds(5)));
        EXPECT_TRUE(WaitUntil([&] { return d->ConnState == Connected; }));
        EXPECT_EQ(Cell(row, kStatusColumn).toStdString(), "Connected");
    } else {
        // Only the status query that proved the move reached the new address.
        Pump(1500);
        EXPECT_EQ(second.Snapshot(0).connections, 1);
        EXPECT_EQ(second.Snapshot(0).statusQueries, 1);
        EXPECT_FALSE(second.Snapshot(0).connected);
        EXPECT_FALSE(d->Connection);
        EXPECT_EQ(d->ConnState, Disconnected);
    }
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 1u);
    const auto moved = EventsWithId(EV_DEVICE_MOVED);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(moved[0].text.value_or(""), "Stage Left moved from " + oldAddress + " to " + newAddress);
}

INSTANTIATE_TEST_SUITE_P(Discovery, MovedDeviceTest,
                         testing::Values(MoveCase{"AvloOn", true}, MoveCase{"Unticked", false}),
                         [](const testing::TestParamInfo<MoveCase>& info) { return std::string(info.param.name); });

// Addresses move under DHCP: a registered device can turn up at the address another record
// holds. That record must not go on polling the device that is now there (taking its serial
// number and counting its faults) nor share the address with it: it loses the address, its
// connection stops, and it keeps everything else until its own device answers again.
TEST_F(DiscoverySearchTest, DeviceAtAnotherRecordsAddressTakesItAndTheOtherWaitsForItsOwn) {
    const std::string leftAddress = NetnsTestBed::DeviceAddress(0);
    const std::string rightAddress = NetnsTestBed::DeviceAddress(1);
    const std::string rightNewAddress = NetnsTestBed::DeviceAddress(2);
    WriteConfig(
        "[AVLO]\r\nRegistered=2\r\n"
        "Name 0=Stage Left\r\nIP 0=" +
        leftAddress +
        "\r\navlo 0=1\r\nModel 0=3\r\nSerial 0=51000001\r\n"
        "Name 1=Stage Right\r\nIP 1=" +
        rightAddress +
        "\r\navlo 1=1\r\nModel 1=3\r\nSerial 1=51000002\r\n"
        "[STATS]\r\nChanErr0device 0=5\r\nChanErr0device 1=7\r\nPlus12VErrdevice 1=9\r\n");
    // Stage Left's amplifier at Stage Right's address, not taking connections until it has
    // moved there; Stage Right's own amplifier at a third address.
    devsim::Site& site = NewSite();
    const int leftAmp = AddBedDevice(site, 1, "02", "51000001", /*answerDiscovery=*/false);
    AddBedDevice(site, 2, "02", "51000002", /*answerDiscovery=*/false);
    StartSite(site);
    {
        ScopedNetns dev(bed_->DeviceNs());
        site.SetRefuseConnections(leftAmp, true);
    }
    StartSearchableCore();
    ASSERT_TRUE(WaitUntil([&] { return core_->PollTimer->isActive(); }));
    ASSERT_EQ(core_->DeviceCount(), 2);
    CMonitorCore::Device* left = core_->Devices()[0].get();
    CMonitorCore::Device* right = core_->Devices()[1].get();
    ASSERT_TRUE(right->Connection);

    // Stage Left's amplifier answers from Stage Right's address.
    {
        ScopedNetns dev(bed_->DeviceNs());
        site.SetRefuseConnections(leftAmp, false);
    }
    OpenRound();
    SendFromDevice("VELKAN:M02R51000001\n", rightAddress);
    ASSERT_TRUE(WaitUntil([&] { return left->IpAddress == rightAddress; })) << left->IpAddress;
    EXPECT_TRUE(left->Connection);
    EXPECT_EQ(Cell(0, 2).toStdString(), rightAddress);

    EXPECT_EQ(right->IpAddress, "");
    EXPECT_FALSE(right->Connection);
    EXPECT_EQ(right->ConnState, Disconnected);
    EXPECT_EQ(right->Name, "Stage Right");
    EXPECT_EQ(right->Serial, "51000002");
    EXPECT_TRUE(right->AvloEnabled);
    EXPECT_EQ(right->Stats[StatsChanErr], 7);
    EXPECT_EQ(right->Stats[StatsPlus12VErr], 9);
    EXPECT_EQ(Cell(1, 1).toStdString(), "Stage Right");
    EXPECT_EQ(Cell(1, 2).toStdString(), "");
    EXPECT_EQ(Cell(1, kStatusColumn).toStdString(), "Disconnected");
    EXPECT_TRUE(Ticked(1));
    const auto lost = EventsWithId(EV_DEVICE_CONNECTION_LOST);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(lost[0].text.value_or(""), "Stage Right at " + rightAddress);

    // Stage Right's own amplifier answers from a new address: it gets it and is connected.
    OpenRound();
    SendFromDevice("VELKAN:M02R51000002\n", rightNewAddress);
    ASSERT_TRUE(WaitUntil([&] { return right->ConnState == Connected; })) << right->IpAddress;
    EXPECT_EQ(right->IpAddress, rightNewAddress);
    EXPECT_EQ(Cell(1, 2).toStdString(), rightNewAddress);
    EXPECT_EQ(right->Serial, "51000002");
    EXPECT_EQ(left->IpAddress, rightAddress);
    EXPECT_EQ(core_->DeviceCount(), 2);
    std::vector<std::string> moves;
    for (const auto& e : EventsWithId(EV_DEVICE_MOVED)) moves.push_back(e.text.value_or(""));
    EXPECT_THAT(moves, testing::ElementsAre("Stage Left moved from " + leftAddress + " to " + rightAddress,
                                            "Stage Right moved from no address to " + rightNewAddress));

    StopCore();
    const std::string saved = ReadConfig();
    EXPECT_NE(saved.find("Name 0=Stage Left\r\nIP 0=" + rightAddress + "\r\n"), std::string::npos)
        << saved;
    EXPECT_NE(saved.find("Name 1=Stage Right\r\nIP 1=" + rightNewAddress + "\r\n"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("ChanErr0device 1=7\r\n"), std::string::npos);
}

// ---- the search result ----

struct CountCase {
    const char* name;
    int answering;  // registered at start-up by discovery, all answering the search
    const char* text;
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

class SearchCountTest : public DiscoverySearchTest, public testing::WithParamInterface<CountCase> {};

TEST_P(SearchCountTest, ReportsHowManyDevicesAnswered) {
    const CountCase& c = GetParam();
    devsim::Site& site = NewSite();
    for (int i = 0; i < c.answering; ++i) AddBedDevice(site, i, "03", "1100000" + std::to_string(i));
    StartSite(site);
    StartAndSettle(c.answering);
    ASSERT_FALSE(HasFatalFailure());

    const SearchResult r = Search();
    ExpectSingleResult(r, c.text);
    EXPECT_GE(r.ms, 1900) << "the result came before the two seconds of the search";
    EXPECT_LE(r.ms, 3500);
    EXPECT_FALSE(core_->NetworkSearchTimer->isActive());
    for (int i = 0; i < c.answering; ++i) EXPECT_EQ(site.Snapshot(i).discoveryRequests, 2) << i;
    // Everybody answered: nobody is taken for lost.
    EXPECT_TRUE(AllConnected());
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
    EXPECT_EQ(core_->DeviceCount(), c.answering);
}

INSTANTIATE_TEST_SUITE_P(Discovery, SearchCountTest,
                         testing::Values(CountCase{"Nobody", 0, kNoneFound}, CountCase{"One", 1, kOneFound},
                                         CountCase{"Three", 3, kThreeFound}),
                         [](const testing::TestParamInfo<CountCase>& info) { return std::string(info.param.name); });

TEST_F(DiscoverySearchTest, FullTableRegistersOneMoreAndWarnsAboutTheOther) {
    // 49 devices from the file, unticked, at addresses of the bed where nothing answers.
    std::string ini = "[AVLO]\r\nRegistered=49\r\n";
    for (int n = 0; n < 49; ++n) {
        const std::string k = std::to_string(n);
        ini += "Name " + k + "=Bulk " + k + "\r\nIP " + k + "=10.77.0." + std::to_string(200 + n) + "\r\navlo " + k +
               "=0\r\nSerial " + k + "=" + std::to_string(99000000 + n) + "\r\n";
    }
    WriteConfig(ini);
    devsim::Site& site = NewSite();
    AddBedDevice(site, 0, "03", "60000001");
    AddBedDevice(site, 1, "03", "60000002");
    StartSite(site);

    StartSearchableCore();
    ASSERT_EQ(core_->DeviceCount(), 49);
    // The start-up broadcast already fills the table and turns the other device away.
    ASSERT_TRUE(WaitUntil([&] { return core_->DeviceCount() == 50 && core_->UnregisteredCount == 1; }))
        << core_->DeviceCount() << " devices, " << core_->UnregisteredCount << " turned away";
    const CMonitorCore::Device* one = BySerial("60000001");
    const CMonitorCore::Device* two = BySerial("60000002");
    ASSERT_TRUE((one == nullptr) != (two == nullptr)) << "exactly one of the two must be registered";
    const CMonitorCore::Device* added = one ? one : two;
    EXPECT_EQ(added->Name, "My Velkan RV13");
    EXPECT_EQ(added->IpAddress, NetnsTestBed::DeviceAddress(one ? 0 : 1));
    EXPECT_TRUE(added->AvloEnabled);
    ASSERT_TRUE(WaitUntil([&] { return added->ConnState == Connected; }));
    Pump(300);

    const SearchResult r = Search();
    ExpectSingleResult(r,
                            "2 Velkan devices have been found on the local network.\r\n\rWARNING: the 'Registered "
                            "Velkan Devices' list can accommodate only 50 devices.\r\n1 newly found device has not "
                            "been registered.");
    EXPECT_EQ(core_->DeviceCount(), 50);
    EXPECT_EQ(core_->DeviceCount(), 50);
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 50u);
    EXPECT_EQ(added->ConnState, Connected);
}

TEST_F(DiscoverySearchTest, SearchAgainWhileSearchingDoesNothing) {
    devsim::Site& site = NewSite();
    AddBedDevice(site, 0, "01", "70000001");
    StartSite(site);
    StartAndSettle(1);
    ASSERT_FALSE(HasFatalFailure());

    std::vector<QString> texts;
    TakeResults();
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(core_->SearchNetwork());
    ASSERT_TRUE(site.WaitFor(0, [](const devsim::DeviceSnapshot& s) { return s.discoveryRequests == 2; },
                             std::chrono::seconds(2)));
    Pump(1000 - static_cast<int>(clock.elapsed()));
    ASSERT_TRUE(TakeResults().empty());
    EXPECT_FALSE(core_->SearchNetwork());  // about one second into the search
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto more = TakeResults();
            texts.insert(texts.end(), more.begin(), more.end());
            return !texts.empty();
        },
        5000));
    const qint64 ms = clock.elapsed();
    // The result comes two seconds after the first press, not after the second.
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 2900);
    Pump(1500);
    const auto later = TakeResults();
    texts.insert(texts.end(), later.begin(), later.end());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].toStdString(), kOneFound);
    // No second broadcast went out.
    EXPECT_EQ(site.Snapshot(0).discoveryRequests, 2);
}

// ---- devices that do not answer the search ----

struct SilentCase {
    const char* name;
    bool log;
};

void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.name; }

class SilentDeviceTest : public DiscoverySearchTest, public testing::WithParamInterface<SilentCase> {};

TEST_P(SilentDeviceTest, ConnectedDeviceThatDoesNotAnswerIsCheckedAgain) {
    const bool log = GetParam().log;
    WriteConfig(std::string("[Options]\r\nLog=") + (log ? "1" : "0") +
                "\r\n[AVLO]\r\nRegistered=1\r\nName 0=Quiet\r\nIP 0=10.77.0.2\r\navlo 0=1\r\nSerial 0=80000001\r\n");
    devsim::Site& site = NewSite();
    AddBedDevice(site, 0, "03", "80000001", /*answerDiscovery=*/false);
    AddBedDevice(site, 1, "03", "80000002");
    StartSite(site);
    StartAndSettle(2);
    ASSERT_FALSE(HasFatalFailure());
    const CMonitorCore::Device* quiet = ByName("Quiet");
    const CMonitorCore::Device* talk = BySerial("80000002");
    ASSERT_NE(quiet, nullptr);
    ASSERT_NE(talk, nullptr);
    ASSERT_EQ(site.Snapshot(0).discoveryRequests, 0);

    // Every status text each row shows from now on.
    std::map<int, std::vector<std::string>> shown;
    QObject::connect(core_.get(), &CMonitorCore::DeviceRowChanged, core_.get(),
                     [&](std::uint16_t id) {
                         const CMonitorCore::Device* d = core_->FindDeviceById(id);
                         if (d) shown[d->ListIndex].push_back(Cell(d->ListIndex, kStatusColumn).toStdString());
                     });
    const int queriesBefore = site.Snapshot(0).statusQueries;

    const SearchResult r = Search();
    ExpectSingleResult(r, kOneFound);
    const auto& quietTexts = shown[quiet->ListIndex];
    EXPECT_THAT(quietTexts, testing::Contains("Connecting...")) << "the silent device was never shown as Connecting...";
    const auto& talkTexts = shown[talk->ListIndex];
    EXPECT_THAT(talkTexts, testing::Not(testing::Contains("Connecting...")));

    // The reconnect finds the connection healthy: connected again and polled.
    EXPECT_TRUE(WaitUntil([&] { return quiet->ConnState == Connected; }, 3000));
    EXPECT_EQ(Cell(quiet->ListIndex, kStatusColumn).toStdString(), "Connected");
    EXPECT_TRUE(site.WaitFor(0, [&](const devsim::DeviceSnapshot& s) { return s.statusQueries > queriesBefore; },
                             std::chrono::seconds(3)));
    EXPECT_EQ(talk->ConnState, Connected);
    Pump(500);

    const auto lost = EventsWithId(EV_DEVICE_CONNECTION_LOST);
    if (log) {
        ASSERT_EQ(lost.size(), 1u);
        EXPECT_EQ(lost[0].type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(lost[0].text.value_or(""), "Quiet at 10.77.0.2");
    } else {
        EXPECT_TRUE(lost.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Discovery, SilentDeviceTest,
                         testing::Values(SilentCase{"Logged", true}, SilentCase{"LogOff", false}),
                         [](const testing::TestParamInfo<SilentCase>& info) { return std::string(info.param.name); });

}  // namespace
