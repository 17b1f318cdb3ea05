// Connection threads' reports as the main window turns them into device states and event-log
// entries: connecting, losing and regaining a link, reply timeouts, refused connections, and
// stopping at the end. The properties dialog's apply request is in request_pacing_test.
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <tuple>

#include "CoreFixture.h"
#include "support/MessageWatch.h"
#include "comms/Mymessages.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;



class ConnectionEventsTest : public CoreFixture {
protected:
    ConnectionEventsTest() : CoreFixture(8) {}

    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "8000", tweak);
    }

    // The connection entries of the log, in order: "+text" connected, "-text" lost.
    std::vector<std::string> ConnectionLog() const {
        std::vector<std::string> out;
        for (const auto& e : sink_.Events()) {
            if (e.id == EV_DEVICE_CONNECTED) {
                EXPECT_EQ(e.type, EVENTLOG_INFORMATION_TYPE);
                out.push_back("+" + e.text.value_or("(none)"));
            } else if (e.id == EV_DEVICE_CONNECTION_LOST) {
                EXPECT_EQ(e.type, EVENTLOG_WARNING_TYPE);
                out.push_back("-" + e.text.value_or("(none)"));
            }
        }
        return out;
    }

};

// ---- connected and lost, with logging on and off ----

class TransitionLogTest : public ConnectionEventsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TransitionLogTest, ConnectedAndLostAreWrittenOnlyOnTransitions) {
    const bool log = GetParam();
    const int sim = Sim(2);
    StartQuiet();
    core_->Options.Log = log;
    Add("Stage Left", Address(2));
    MessageWatch watch(Monitor(), RowState(0));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    const std::string entry = "Stage Left at 127.0.8.2";
    using Log = std::vector<std::string>;
    const Log once = log ? Log{"+" + entry} : Log{};
    EXPECT_EQ(ConnectionLog(), once);

    // A reconnect on the healthy link: reported connected again, no second entry, and a
    // status query all the same.
    const int queries = Site().Snapshot(sim).statusQueries;
    core_->Devices()[0]->Connection->Reconnect();
    ASSERT_TRUE(SimWait(sim, [&](const auto& s) { return s.statusQueries == queries + 1; }));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    Pump(100);
    EXPECT_EQ(ConnectionLog(), once);
    EXPECT_EQ(Site().Snapshot(sim).connections, 1);

    // The device closes the link: lost once, shown Disconnected, and the thread's next
    // attempt connects again.
    Site().DropConnection(sim);
    ASSERT_TRUE(SimWait(sim, [](const auto& s) { return s.connections == 2 && s.connected; }));
    ASSERT_TRUE(WaitUntil([&] {
        return Shows(0, "Connected", "OK") && Site().Snapshot(sim).statusQueries == queries + 2;
    }));
    Pump(100);
    const Log again = log ? Log{"+" + entry, "-" + entry, "+" + entry} : Log{};
    EXPECT_EQ(ConnectionLog(), again);
    EXPECT_EQ(watch.States(),
              QStringList({"Connecting... | Unknown", "Connected | Unknown", "Connected | OK",
                           "Disconnected | Unknown", "Connected | Unknown", "Connected | OK"}));
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), log ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Logging, TransitionLogTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// ---- a reply that never comes ----

TEST_F(ConnectionEventsTest, ReplyTimeoutShowsConnectingUntilThePollsReconnectFindsTheLink) {
    const int sim = Sim(10);
    StartQuiet();
    Add("Balcony", Address(10));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    const std::string entry = "Balcony at 127.0.8.10";

    Site().SetSilent(sim, true);
    core_->PollAll();
    ASSERT_TRUE(SimWait(sim, [](const auto& s) { return s.statusQueries == 2; }));
    // The thread waits 2 s for the reply, then reports the timeout.
    ASSERT_TRUE(WaitUntil([&] { return Cell(0, ColStatus) != "Connected"; }, 4000));
    EXPECT_TRUE(Shows(0, "Connecting...", "Unknown"));
    EXPECT_FALSE(core_->Devices()[0]->StatusKnown);
    EXPECT_EQ(ConnectionLog(), std::vector<std::string>({"+" + entry, "-" + entry}));
    devsim::DeviceSnapshot seen = Site().Snapshot(sim);
    EXPECT_TRUE(seen.connected);  // the link itself stayed up
    EXPECT_EQ(seen.connections, 1);

    // The next poll signals a reconnect for the Connecting device; the thread finds the link
    // still connected, reports so, and the status is asked for at once.
    Site().SetSilent(sim, false);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    seen = Site().Snapshot(sim);
    EXPECT_EQ(seen.statusQueries, 3);
    EXPECT_EQ(seen.connections, 1);
    EXPECT_EQ(ConnectionLog(), std::vector<std::string>({"+" + entry, "-" + entry, "+" + entry}));
}

// ---- a device that refuses the connection ----

TEST_F(ConnectionEventsTest, RefusedDeviceStaysConnectingAndEachPollRetriesOnce) {
    const int sim = Sim(20);
    Site().SetRefuseConnections(sim, true);
    StartQuiet();
    MessageWatch watch(Monitor(), RowState(0));
    Add("Foyer", Address(20));
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    // The thread's start and its first, reported failure.
    ASSERT_TRUE(WaitUntil([&] { return watch.Messages() == 2; }));
    Pump(200);
    ASSERT_EQ(watch.Messages(), 2);

    for (int poll = 1; poll <= 3; ++poll) {
        core_->PollAll();
        ASSERT_TRUE(WaitUntil([&] { return watch.Messages() == 2 + poll; })) << poll;
        Pump(150);
        EXPECT_EQ(watch.Messages(), 2 + poll) << "one report per reconnect, poll " << poll;
        EXPECT_TRUE(Shows(0, "Connecting...", "Unknown")) << poll;
    }
    EXPECT_EQ(watch.States(), QStringList({"Connecting... | Unknown"}));
    EXPECT_TRUE(ConnectionLog().empty());
    EXPECT_EQ(Site().Snapshot(sim).connections, 0);

    // Failure reports for a device that is not Connected set its state but log nothing.
    const std::uint16_t id = core_->Devices()[0]->DeviceId;
    const struct {
        std::uint16_t code;
        const char* status;
    } reports[] = {{EvError, "Connecting..."},
                   {EvReplyTimeout, "Connecting..."},
                   {EvConnectTimeout, "Connecting..."},
                   {EvLost, "Disconnected"}};
    for (const auto& report : reports) {
        core_->Dispatch(WM_TCPTHREAD, TcpThreadWParam(id, report.code), 0);
        EXPECT_TRUE(Shows(0, report.status, "Unknown")) << report.code;
    }
    EXPECT_TRUE(ConnectionLog().empty());
}

// ---- reports for a device that is not in the table ----

TEST_F(ConnectionEventsTest, ReportsForAnUnknownDeviceChangeNothing) {
    const int sim = Sim(30);
    const int gone = Sim(31);
    StartQuiet();
    Add("Lobby", Address(30));
    const int goneId = Add("Old", Address(31));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK") && Shows(1, "Connected", "OK"); }));
    core_->DeleteDevice(1);
    ASSERT_TRUE(SimWait(gone, [](const auto& s) { return !s.connected; }));
    Pump(100);

    const CMonitorCore::Device& lobby = *core_->Devices()[0];
    const auto before = [&] {
        return std::make_tuple(lobby.ConnState, lobby.StatusKnown, lobby.Condition, lobby.Status,
                               Cell(0, ColStatus), Cell(0, ColCondition), core_->DeviceCount(),
                               sink_.Events().size());
    };
    const auto reference = before();
    const int queries = Site().Snapshot(sim).statusQueries + Site().Snapshot(gone).statusQueries;
    for (const std::uint16_t id : {static_cast<std::uint16_t>(goneId), std::uint16_t{0xFFFF}}) {
        for (std::uint16_t code = EvStarted; code <= EvLost + 1; ++code) {
            core_->Dispatch(WM_TCPTHREAD, TcpThreadWParam(id, code), 0);
            EXPECT_EQ(before(), reference) << "device " << id << ", code " << code;
        }
    }
    Pump(100);
    EXPECT_EQ(Site().Snapshot(sim).statusQueries + Site().Snapshot(gone).statusQueries, queries);

    // The same report for the device that is there does take effect.
    core_->Dispatch(WM_TCPTHREAD, TcpThreadWParam(lobby.DeviceId, EvReplyTimeout), 0);
    EXPECT_TRUE(Shows(0, "Connecting...", "Unknown"));
}

// ---- the end ----

TEST_F(ConnectionEventsTest, EndingTheCoreStopsEveryConnectionThread) {
    std::vector<int> sims;
    StartQuiet();
    for (int i = 0; i < 3; ++i) {
        sims.push_back(Sim(50 + i));
        Add("Amp " + std::to_string(i + 1), Address(50 + i));
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (int row = 0; row < 3; ++row) {
            if (!Shows(row, "Connected", "OK")) return false;
        }
        return true;
    }));
    for (int sim : sims) ASSERT_TRUE(Site().Snapshot(sim).connected);

    const auto start = Clock::now();
    StopCore();
    // Every wait of a thread includes its stop event, so stopping does not sit out a read wait.
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    for (int sim : sims) {
        EXPECT_TRUE(SimWait(sim, [](const auto& s) { return !s.connected; }, 2000)) << sim;
        EXPECT_EQ(Site().Snapshot(sim).connections, 1) << sim;
    }
    ASSERT_FALSE(sink_.Events().empty());
    EXPECT_EQ(sink_.Events().back().id, EV_MONITOR_STOPPED);
}

}  // namespace
