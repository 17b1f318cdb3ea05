// Requests handed to the connections by the core: the properties dialog's apply request paced a
// second apart without holding the main thread, whether or not the device answers commands and
// however slowly it answers; and requests that do not fit refused with an event.
#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "CoreFixture.h"
#include "support/RequestArrivals.h"
#include "comms/Mymessages.h"
#include "comms/RequestQueue.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

// The spacing of a paced sequence, with room for a loaded machine.
constexpr long MinGapMs = 900;
constexpr long MaxGapMs = 1600;

class RequestPacingTest : public CoreFixture {
protected:
    RequestPacingTest() : CoreFixture(57) {}

    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "5700", tweak);
    }
    const Device& DeviceOf(int id) const {
        return *core_->FindDeviceById(static_cast<std::uint16_t>(id));
    }
    bool AllConnected(int rows) const {
        for (int row = 0; row < rows; ++row) {
            if (!Shows(row, "Connected", "OK")) return false;
        }
        return true;
    }
    // The monitor, with the simulated device on host registered under name and connected;
    // the device's id.
    std::uint16_t StartConnected(int host, const std::string& name) {
        StartQuiet();
        const auto id = static_cast<std::uint16_t>(Add(name, Address(host)));
        EXPECT_TRUE(WaitUntil([&] { return AllConnected(1); }));
        return id;
    }
    std::vector<std::string> RefusalTexts() const {
        std::vector<std::string> out;
        for (const auto& e : EventsWithId(EV_MONITOR_ERROR)) {
            EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
            out.push_back(e.text.value_or("(none)"));
        }
        return out;
    }
};

void ExpectSpaced(const std::vector<long>& gaps) {
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], MinGapMs) << "before request " << i + 1;
        EXPECT_LE(gaps[i], MaxGapMs) << "before request " << i + 1;
    }
}

// ---- Apply, against devices that answer commands, do not, or answer late ----

struct Behaviour {
    const char* name;
    bool confirmsCommands;  // answers a mode or channel request with its status
    int replyDelayMs;       // every answer this much later
};

void PrintTo(const Behaviour& behaviour, std::ostream* os) {
    *os << behaviour.name;
}

class ApplyTest : public RequestPacingTest, public ::testing::WithParamInterface<Behaviour> {};

TEST_P(ApplyTest, ModeChannelsAndQueryGoOutASecondApartWhileOtherDevicesAreServed) {
    const Behaviour behaviour = GetParam();
    const int target = Sim(2, [&](devsim::DeviceConfig& c) {
        c.active = false;
        c.channelMask = 0x7C;
        c.confirmCommands = behaviour.confirmsCommands;
    });
    const int other = Sim(3);
    RequestArrivals arrivals(Site());
    StartQuiet();
    int busySignals = 0;
    QObject::connect(core_.get(), &CMonitorCore::Busy, core_.get(), [&](bool) { ++busySignals; });
    const int id = Add("Stage", Address(2));
    const int otherId = Add("Foyer", Address(3));
    ASSERT_TRUE(WaitUntil([&] { return AllConnected(2); }));
    Site().SetReplyDelay(target, behaviour.replyDelayMs);
    const std::size_t before = arrivals.Count(target);
    ASSERT_EQ(before, 1u);  // the status query on connecting

    const auto start = Clock::now();
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(static_cast<std::uint16_t>(id), 1, 0x03), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(200)) << "the apply held the main thread";

    // While the sequence runs, the other device's new status is asked for and applied.
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(target) > before; }, 3000));
    Site().SetChannelFault(other, 2, devsim::ChannelFault::Fan, true);
    core_->SendRequest(static_cast<std::uint16_t>(otherId), StatusQuery);
    ASSERT_TRUE(WaitUntil([&] { return DeviceOf(otherId).Status.FanOk[1] == 0; }, 1500));
    EXPECT_LT(arrivals.Count(target), before + 3) << "the other status waited for the sequence";

    // The three requests, in order, a second apart.
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(target) >= before + 3; }, 4000));
    const auto sent = arrivals.Of(target);
    EXPECT_EQ(RequestArrivals::Texts(sent, before), (Texts{"*p1\n", "*m=03\n", "*s?\n"}));
    ExpectSpaced(RequestArrivals::GapsMs(sent, before));

    // The next status shows the new configuration.
    const Device& device = DeviceOf(id);
    const std::uint8_t on[7] = {1, 1, 0, 0, 0, 0, 0};
    EXPECT_TRUE(WaitUntil(
        [&] { return device.Status.Mode == 1 && std::equal(on, on + 7, device.Status.ChannelOn); },
        behaviour.replyDelayMs + 2000));
    const devsim::DeviceSnapshot seen = Site().Snapshot(target);
    EXPECT_TRUE(seen.active);
    EXPECT_EQ(seen.channelMask, 0x03);

    // Past the longest wait for a reply: nothing lost, no connection reported lost, nothing
    // refused, nothing else sent, no wait cursor.
    Pump(2200);
    EXPECT_TRUE(Shows(0, "Connected", "OK"));
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
    EXPECT_EQ(EventsWithId(EV_DEVICE_CONNECTED).size(), 2u);
    EXPECT_TRUE(RefusalTexts().empty());
    EXPECT_EQ(arrivals.Count(target), before + 3);
    EXPECT_EQ(busySignals, 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, ApplyTest,
                         ::testing::Values(Behaviour{"Confirming", true, 0},
                                           Behaviour{"NotAnsweringCommands", false, 0},
                                           Behaviour{"AnsweringLate", true, 1500},
                                           Behaviour{"LateAndNotAnsweringCommands", false, 1500}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RequestPacingTest, ApplyForADeviceThatIsNotRegisteredSendsNothing) {
    const int sim = Sim(5);
    RequestArrivals arrivals(Site());
    StartConnected(5, "Balcony");
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(0xFFFF, 1, 0x03), 0);
    EXPECT_EQ(core_->PacedRequestsWaiting(0xFFFF), 0);
    Pump(1300);
    EXPECT_EQ(arrivals.Count(sim), 1u);
}

// A poll's query just before the apply, to a device that answers late: the apply's requests
// wait behind that answer and still leave a second apart, none on the heels of another.
TEST_F(RequestPacingTest, AnApplyBehindASlowReplyKeepsItsSpacing) {
    const int sim = Sim(30);
    RequestArrivals arrivals(Site());
    const std::uint16_t id = StartConnected(30, "Annex");
    Pump(1100);
    Site().SetReplyDelay(sim, 1500);
    const std::size_t before = arrivals.Count(sim);
    core_->SendRequest(id, StatusQuery);
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(id, 1, 0x03), 0);

    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(sim) >= before + 4; }, 6000));
    const auto sent = arrivals.Of(sim);
    EXPECT_EQ(RequestArrivals::Texts(sent, before), (Texts{"*s?\n", "*p1\n", "*m=03\n", "*s?\n"}));
    const std::vector<long> gaps = RequestArrivals::GapsMs(sent, before);
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_GE(gaps[0], MinGapMs);  // held behind the late answer
    ExpectSpaced({gaps[1], gaps[2]});
    Pump(2200);
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
    EXPECT_TRUE(Shows(0, "Connected", "OK"));
}

// ---- what does not fit ----

// Three applies in a row fill the device's waiting list; a fourth is refused whole with an
// event, and the three go out in order with the spacing kept between them.
TEST_F(RequestPacingTest, AnApplyThatDoesNotFitIsRefusedWithAnEventAndTheOthersGoOutInOrder) {
    const int sim = Sim(10);
    RequestArrivals arrivals(Site());
    const std::uint16_t id = StartConnected(10, "Tower");
    // A second after the status query of the connect, the first request goes out at once.
    Pump(1100);
    const std::size_t before = arrivals.Count(sim);

    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(id, 1, 0x03), 0);
    EXPECT_EQ(core_->PacedRequestsWaiting(id), 2);
    for (const std::uint8_t mask : {0x07, 0x0F}) {
        core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(id, 1, mask), 0);
    }
    EXPECT_TRUE(RefusalTexts().empty());
    EXPECT_EQ(core_->PacedRequestsWaiting(id), CMonitorCore::MaxPacedRequests);
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(id, 0, 0x01), 0);
    const Texts refused{
        "Tower at 127.0.57.10: too many requests are waiting; "
        "refused: *p0 *m=01 *s?"};
    EXPECT_EQ(RefusalTexts(), refused);
    // Refused again while still full: the series has been told of already.
    core_->Post(WM_APPLYCONFIG, ApplyConfigWParam(id, 0, 0x01), 0);
    EXPECT_EQ(RefusalTexts(), refused);

    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(sim) >= before + 9; }, 12000));
    Pump(1300);
    const auto sent = arrivals.Of(sim);
    EXPECT_EQ(RequestArrivals::Texts(sent, before),
              (Texts{"*p1\n", "*m=03\n", "*s?\n", "*p1\n", "*m=07\n", "*s?\n", "*p1\n", "*m=0F\n",
                     "*s?\n"}));
    ExpectSpaced(RequestArrivals::GapsMs(sent, before));
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
}

// A connection holds a few requests behind one that waits for its reply; one more than it can
// hold is refused with an event instead of replacing another.
TEST_F(RequestPacingTest, AQueryTheConnectionCannotHoldIsRefusedWithAnEvent) {
    const int sim = Sim(20);
    RequestArrivals arrivals(Site());
    const std::uint16_t id = StartConnected(20, "Gallery");
    Site().SetSilent(sim, true);
    core_->SendRequest(id, StatusQuery);
    // The connection now waits for that reply and sends nothing else meanwhile.
    ASSERT_TRUE(WaitUntil([&] { return arrivals.Count(sim) == 2; }));
    for (int i = 0; i < CRequestQueue::Capacity; ++i) core_->SendRequest(id, StatusQuery);
    EXPECT_TRUE(RefusalTexts().empty());
    core_->SendRequest(id, StatusQuery);
    const std::string refused =
        "Gallery at 127.0.57.20: too many requests are waiting; "
        "refused: *s?";
    EXPECT_EQ(RefusalTexts(), Texts{refused});
    EXPECT_EQ(arrivals.Count(sim), 2u);

    // A link that cannot take requests is refused at every poll: told of once per series,
    // and a series ends when the connection takes a request again.
    for (int i = 0; i < 3; ++i) core_->SendRequest(id, StatusQuery);
    EXPECT_EQ(RefusalTexts(), Texts{refused});
    Site().SetSilent(sim, false);
    TTcpCommsThread& link = *core_->FindDeviceById(id)->Connection;
    ASSERT_TRUE(WaitUntil([&] { return link.QueuedRequests() == 0; }, 8000));
    Site().SetSilent(sim, true);
    core_->SendRequest(id, StatusQuery);
    ASSERT_TRUE(WaitUntil([&] { return link.QueuedRequests() == 0; }));
    for (int i = 0; i <= CRequestQueue::Capacity; ++i) core_->SendRequest(id, StatusQuery);
    EXPECT_EQ(RefusalTexts(), (Texts{refused, refused}));
}

}  // namespace
