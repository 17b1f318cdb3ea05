#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "comms/TcpCommsThread.h"
#include "support/QueueTarget.h"
#include "support/UnacceptingListener.h"
#include "tools/devsim/Site.h"

namespace {

using namespace std::chrono_literals;
using Msg = QueueTarget::Message;

// Each test gets its own loopback address, so a listener of one test never meets the
// connection of another.
std::string NextAddress() {
    static std::atomic<int> next{2};
    return "127.0.2." + std::to_string(next++);
}

class TcpCommsThreadTest : public testing::Test {
protected:
    void SetUp() override {
        address_ = NextAddress();
        devsim::DeviceConfig config;
        config.address = address_;
        config.serial = "TCP00001";
        dev_ = site_.AddDevice(config);
        ASSERT_GE(dev_, 0) << site_.LastError();
        ASSERT_TRUE(site_.Start());
    }

    void StartThread(const std::string& host) {
        thread_ = std::make_unique<TTcpCommsThread>(store_, "60002", host, &target_, kId);
    }
    void StartConnected() {
        StartThread(address_);
        ASSERT_TRUE(target_.WaitForCode(EvStarted, 2s));
        ASSERT_TRUE(target_.WaitForCode(EvConnected, 3s));
        // The connect completes in the kernel before the simulator has accepted it.
        ASSERT_TRUE(site_.WaitFor(dev_, [](const devsim::DeviceSnapshot& s) { return s.connected; }, 2s));
    }
    void Query() {
        const std::string q = "*s?\n";
        thread_->Send(q.data(), static_cast<int>(q.size()));
    }
    std::string Stored() {
        char buf[CData::StatusBytes];
        const int n = store_.GetStatusMessage(kId, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    static int Count(const std::vector<Msg>& msgs, std::uint16_t code) {
        int n = 0;
        for (const Msg& m : msgs) n += m.Code() == code ? 1 : 0;
        return n;
    }

    static constexpr std::uint16_t kId = 17;
    std::string address_;
    devsim::Site site_{devsim::SiteOptions{"", 60003}};
    int dev_ = -1;
    CData store_;
    QueueTarget target_;
    std::unique_ptr<TTcpCommsThread> thread_;
};

TEST_F(TcpCommsThreadTest, ConnectsQueriesAndStoresTheReply) {
    StartConnected();
    Query();
    const auto received = target_.WaitForCode(EvReceived, 3s);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->msg, WM_TCPTHREAD);
    EXPECT_EQ(received->High(), kId);
    EXPECT_EQ(received->lParam, 0u);
    EXPECT_EQ(Stored(), site_.StatusMessage(dev_));
    EXPECT_EQ(site_.Snapshot(dev_).requests, std::vector<std::string>{"*s?\n"});
}

// Replies that reach the thread in unusual pieces: each case names the writes of the device
// and the message that must end up stored, after exactly one EvReceived per valid frame.
struct ScriptCase {
    const char* name;
    std::vector<std::string> (*writes)(const std::string& msg, const std::string& other);
    int received;
    bool storedIsOther;
};

class TcpFramingTest : public TcpCommsThreadTest, public testing::WithParamInterface<ScriptCase> {};

std::string Other(const std::string& msg) {
    std::string other = msg;
    other.replace(other.find('H') + 1, 8, "00000099");
    return other;
}

TEST_P(TcpFramingTest, StoresEveryValidFrameOnce) {
    StartConnected();
    const std::string msg = site_.StatusMessage(dev_);
    site_.ScriptNextReply(dev_, GetParam().writes(msg, Other(msg)), 150);
    Query();
    for (int i = 0; i < GetParam().received; ++i) ASSERT_TRUE(target_.WaitForCode(EvReceived, 3s)) << i;
    const auto rest = target_.Collect(500ms);
    EXPECT_EQ(Count(rest, EvReceived), 0);
    EXPECT_EQ(Count(rest, EvReplyTimeout), 0);
    EXPECT_EQ(Count(rest, EvLost), 0);
    EXPECT_EQ(Stored(), GetParam().storedIsOther ? Other(msg) : msg);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpFramingTest,
    testing::Values(
        ScriptCase{"two_in_one_read", [](const std::string& m, const std::string& o) {
                       return std::vector<std::string>{m + o};
                   }, 2, true},
        ScriptCase{"split_over_two_reads", [](const std::string& m, const std::string&) {
                       return std::vector<std::string>{m.substr(0, 25), m.substr(25)};
                   }, 1, false},
        ScriptCase{"garbage_before_start", [](const std::string& m, const std::string&) {
                       return std::vector<std::string>{"xx\n\nyy" + m};
                   }, 1, false},
        ScriptCase{"frame_without_H_then_valid", [](const std::string& m, const std::string& o) {
                       std::string noH = m;
                       noH.erase(noH.find('H'), 1);
                       return std::vector<std::string>{noH + o};
                   }, 1, true},
        ScriptCase{"300_bytes_without_end_then_valid", [](const std::string& m, const std::string&) {
                       return std::vector<std::string>{"*" + std::string(299, 'M'), m};
                   }, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpCommsThreadTest, DeviceClosingGivesLostThenANewConnection) {
    StartConnected();
    site_.DropConnection(dev_);
    ASSERT_TRUE(target_.WaitForCode(EvLost, 3s));
    ASSERT_TRUE(target_.WaitForCode(EvConnected, 5s));
    EXPECT_TRUE(site_.WaitFor(dev_, [](const devsim::DeviceSnapshot& s) { return s.connections == 2; }, 2s));
    Query();
    EXPECT_TRUE(target_.WaitForCode(EvReceived, 3s));
}

TEST_F(TcpCommsThreadTest, ResetConnectionIsLost) {
    StartConnected();
    site_.ResetConnection(dev_);
    EXPECT_TRUE(target_.WaitForCode(EvLost, 3s));
}

TEST_F(TcpCommsThreadTest, ReconnectOnAHealthyLinkReportsConnectedAgainOnTheSameConnection) {
    StartConnected();
    thread_->Reconnect();
    ASSERT_TRUE(target_.WaitForCode(EvConnected, 3s));
    EXPECT_EQ(site_.Snapshot(dev_).connections, 1);
    Query();
    EXPECT_TRUE(target_.WaitForCode(EvReceived, 3s));
}

// An unreachable device, refusing at once or never answering the connect: one report per
// series of retries, a new series with each reconnect, and the retries find the device once
// it is there again.
struct UnreachableCase {
    const char* name;
    bool refuses;  // else the connect times out
};

class TcpUnreachableTest : public TcpCommsThreadTest,
                           public testing::WithParamInterface<UnreachableCase> {};

TEST_P(TcpUnreachableTest, ReportsOncePerSeries) {
    const bool refuses = GetParam().refuses;
    const std::uint16_t failure = refuses ? EvError : EvConnectTimeout;
    std::unique_ptr<UnacceptingListener> full;
    if (refuses) {
        site_.SetRefuseConnections(dev_, true);
        StartThread(address_);
    } else {
        full = std::make_unique<UnacceptingListener>(address_);
        ASSERT_TRUE(full->Ready());
        thread_ =
            std::make_unique<TTcpCommsThread>(store_, full->PortText(), address_, &target_, kId);
    }
    std::vector<Msg> before;
    ASSERT_TRUE(target_.WaitForCode(failure, 3s, &before));
    EXPECT_EQ(Count(before, EvError) + Count(before, EvConnectTimeout), 0);
    // The retries that follow pass in silence.
    const auto quiet = target_.Collect(4500ms);
    EXPECT_EQ(Count(quiet, EvError), 0);
    EXPECT_EQ(Count(quiet, EvConnectTimeout), 0);
    // A reconnect starts a new series whose first failure is reported again, as a real
    // attempt with the same outcome; a reconnect that comes during an attempt is taken up
    // after it.
    thread_->Reconnect();
    std::vector<Msg> skipped;
    ASSERT_TRUE(target_.WaitForCode(failure, 5s, &skipped));
    EXPECT_EQ(Count(skipped, EvError) + Count(skipped, EvConnectTimeout), 0);
    // And once the device takes connections again, the retries find it.
    if (refuses) {
        site_.SetRefuseConnections(dev_, false);
    } else {
        ASSERT_TRUE(full->MakeRoom());
    }
    EXPECT_TRUE(target_.WaitForCode(EvConnected, 7s));
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpUnreachableTest,
                         testing::Values(UnreachableCase{"refused", true},
                                         UnreachableCase{"connect_timeout", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A device away for four seconds (an amplifier rebooting) while reconnects come every
// second, faster than the thread's own retry wait, as they do with a short poll interval.
// Each reconnect is a real attempt whose failure is reported; once the device is back, it is
// connected again within one retry wait, and its status flows.
TEST_F(TcpCommsThreadTest, ADeviceThatComesBackIsConnectedAgainWhileReconnectsComeEverySecond) {
    StartConnected();
    site_.SetRefuseConnections(dev_, true);
    site_.DropConnection(dev_);
    ASSERT_TRUE(target_.WaitForCode(EvLost, 3s));
    ASSERT_TRUE(target_.WaitForCode(EvError, 3s));  // the first retry, refused

    for (int poll = 1; poll <= 4; ++poll) {
        std::this_thread::sleep_for(1s);
        thread_->Reconnect();
        std::vector<Msg> skipped;
        ASSERT_TRUE(target_.WaitForCode(EvError, 500ms, &skipped)) << "reconnect " << poll;
        EXPECT_EQ(Count(skipped, EvConnected), 0);
    }

    site_.SetRefuseConnections(dev_, false);
    const auto back = QueueTarget::Clock::now();
    std::optional<Msg> connected;
    for (int poll = 1; poll <= 3 && !connected; ++poll) {
        connected = target_.WaitForCode(EvConnected, 1s);
        if (!connected) thread_->Reconnect();
    }
    ASSERT_TRUE(connected) << "the device that came back was not connected again";
    EXPECT_LT(QueueTarget::Clock::now() - back,
              std::chrono::milliseconds(TTcpCommsThread::RetryWaitMs + 500));
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.connected; }, 2s));
    target_.Drain();
    Query();
    EXPECT_TRUE(target_.WaitForCode(EvReceived, 3s));
    EXPECT_EQ(Stored(), site_.StatusMessage(dev_));
    EXPECT_EQ(site_.Snapshot(dev_).connections, 2);
}

TEST_F(TcpCommsThreadTest, SendWhileNotConnectedIsAnErrorAndSendsNothing) {
    site_.SetRefuseConnections(dev_, true);
    StartThread(address_);
    ASSERT_TRUE(target_.WaitForCode(EvError, 3s));
    Query();
    ASSERT_TRUE(target_.WaitForCode(EvError, 1500ms));
    site_.SetRefuseConnections(dev_, false);
    ASSERT_TRUE(target_.WaitForCode(EvConnected, 5s));
    EXPECT_TRUE(site_.Snapshot(dev_).requests.empty());
}

TEST_F(TcpCommsThreadTest, SilentDeviceGivesReplyTimeout) {
    StartConnected();
    site_.SetSilent(dev_, true);
    const auto start = QueueTarget::Clock::now();
    Query();
    ASSERT_TRUE(target_.WaitForCode(EvReplyTimeout, 4s));
    EXPECT_GE(QueueTarget::Clock::now() - start, 1900ms);
    EXPECT_EQ(Stored(), "");
}

TEST_F(TcpCommsThreadTest, AnEmptyRequestIsAnError) {
    StartConnected();
    EXPECT_TRUE(thread_->Send("", 0));
    EXPECT_TRUE(target_.WaitForCode(EvError, 2s));
}

// Requests handed over while the thread waits for a reply wait in order behind it; one more
// than the queue holds is refused, and none replaces another.
TEST_F(TcpCommsThreadTest, QueuedRequestsGoOutInOrderAndOneMoreThanFitsIsRefused) {
    StartConnected();
    site_.SetReplyDelay(dev_, 600);
    site_.SetConfirmCommands(dev_, false);
    Query();
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.statusQueries == 1; }, 2s));
    std::vector<std::string> expected{"*s?\n"};
    for (int i = 0; i < CRequestQueue::Capacity; ++i) {
        const std::string mask = "*m=0" + std::to_string(i) + "\n";
        ASSERT_TRUE(thread_->Send(mask.data(), static_cast<int>(mask.size()), false)) << i;
        expected.push_back(mask);
    }
    EXPECT_FALSE(thread_->Send("*p0\n", 4, false));
    EXPECT_EQ(thread_->QueuedRequests(), CRequestQueue::Capacity);
    EXPECT_EQ(site_.Snapshot(dev_).requests.size(), 1u) << "sent while the reply was awaited";
    ASSERT_TRUE(target_.WaitForCode(EvReceived, 3s));
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.requests.size() == 9; }, 2s));
    EXPECT_EQ(site_.Snapshot(dev_).requests, expected);
    EXPECT_EQ(thread_->QueuedRequests(), 0);
    const auto rest = target_.Collect(300ms);
    EXPECT_EQ(Count(rest, EvReplyTimeout), 0);
    EXPECT_EQ(Count(rest, EvError), 0);
}

// A device need not answer a mode or channel request. Its answer is awaited only until the
// next request is handed over, and one that never comes is no reply timeout.
TEST_F(TcpCommsThreadTest, AnUnansweredCommandIsNoTimeoutAndTheNextRequestNeedNotWait) {
    StartConnected();
    site_.SetConfirmCommands(dev_, false);
    ASSERT_TRUE(thread_->Send("*p0\n", 4, false));
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.modeRequests == 1; }, 2s));
    const auto start = QueueTarget::Clock::now();
    std::this_thread::sleep_for(200ms);
    Query();
    ASSERT_TRUE(target_.WaitForCode(EvReceived, 3s));
    EXPECT_LT(QueueTarget::Clock::now() - start, 1000ms)
        << "the query waited for the command's answer";

    ASSERT_TRUE(thread_->Send("*m=01\n", 6, false));
    const auto rest = target_.Collect(2500ms);
    EXPECT_EQ(Count(rest, EvReplyTimeout), 0);
    EXPECT_EQ(Count(rest, EvError), 0);
    EXPECT_EQ(Count(rest, EvLost), 0);
    EXPECT_EQ(site_.Snapshot(dev_).requests,
              (std::vector<std::string>{"*p0\n", "*s?\n", "*m=01\n"}));
    EXPECT_GT(thread_->LastSent(), start);
}

// What waits for a link that is lost is not sent on the next one, minutes later perhaps.
TEST_F(TcpCommsThreadTest, RequestsWaitingWhenTheLinkIsLostAreNotSentOnTheNextOne) {
    StartConnected();
    site_.SetSilent(dev_, true);
    Query();
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.statusQueries == 1; }, 2s));
    ASSERT_TRUE(thread_->Send("*p1\n", 4, false));
    site_.DropConnection(dev_);
    ASSERT_TRUE(target_.WaitForCode(EvLost, 3s));
    ASSERT_TRUE(target_.WaitForCode(EvConnected, 5s));
    ASSERT_TRUE(site_.WaitFor(
        dev_, [](const devsim::DeviceSnapshot& s) { return s.connections == 2; }, 2s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(site_.Snapshot(dev_).requests, std::vector<std::string>{"*s?\n"});
    EXPECT_EQ(thread_->QueuedRequests(), 0);
}

TEST_F(TcpCommsThreadTest, UnresolvableHostIsAnError) {
    StartThread("no such host.invalid");
    EXPECT_TRUE(target_.WaitForCode(EvError, 5s));
}

// Fifty devices, each answering its query with its status twice over, so that a hundred
// statuses arrive in one burst, as at start-up when every device is asked twice. The reader
// (standing in for the main thread) is slow: it gets to most reports long after the burst is
// over. Every device's status must still be there when its report is handled.
TEST(TcpCommsThreadBurst, EveryDevicesStatusOutlastsTheBurstForASlowReader) {
    constexpr int kDevices = 50;
    devsim::Site site{devsim::SiteOptions{"", 60003}};
    for (int i = 0; i < kDevices; ++i) {
        devsim::DeviceConfig config;
        config.address = "127.0.40." + std::to_string(2 + i);
        config.serial = std::to_string(40000000 + i);
        ASSERT_EQ(site.AddDevice(config), i) << site.LastError();
        site.SetDoubleReply(i, true);
    }
    ASSERT_TRUE(site.Start());
    CData store;
    QueueTarget target;
    std::vector<std::unique_ptr<TTcpCommsThread>> threads;
    for (int i = 0; i < kDevices; ++i) {
        threads.push_back(
            std::make_unique<TTcpCommsThread>(store, "60002", "127.0.40." + std::to_string(2 + i),
                                              &target, static_cast<std::uint16_t>(i + 1)));
    }
    // The reader handles the reports in order, like the main window: a connected device is
    // asked for its status at once, and each status report is read from the store.
    const std::string query = "*s?\n";
    std::set<int> connected;
    std::set<int> known;
    int received = 0;
    char buf[CData::StatusBytes];
    const auto deadline = QueueTarget::Clock::now() + 20s;
    while (received < 2 * kDevices && QueueTarget::Clock::now() < deadline) {
        const auto m = target.WaitFor([](const Msg&) { return true; }, 1s);
        if (!m) continue;
        const int id = m->High();
        if (m->Code() == EvConnected) {
            connected.insert(id);
            threads[static_cast<std::size_t>(id - 1)]->Send(query.data(),
                                                            static_cast<int>(query.size()));
        } else if (m->Code() == EvReceived) {
            ++received;
            std::this_thread::sleep_for(15ms);  // the reader is busy with other work
            const int n = store.GetStatusMessage(static_cast<std::uint16_t>(id), buf, sizeof buf);
            if (n > 0 &&
                std::string(buf, static_cast<std::size_t>(n)) == site.StatusMessage(id - 1)) {
                known.insert(id);
            }
        }
    }
    EXPECT_EQ(static_cast<int>(connected.size()), kDevices);
    EXPECT_EQ(received, 2 * kDevices);
    std::vector<int> unknown;
    for (int id = 1; id <= kDevices; ++id) {
        if (!known.count(id)) unknown.push_back(id);
    }
    EXPECT_EQ(unknown, std::vector<int>{}) << "devices whose status the burst pushed out";
}

// Stop must end the thread at once, not after the 800 ms idle wait or the 2000 ms reply wait.
struct StopCase {
    const char* name;
    bool waitingForReply;
};

class TcpStopTest : public TcpCommsThreadTest, public testing::WithParamInterface<StopCase> {};

TEST_P(TcpStopTest, EndsAtOnce) {
    StartConnected();
    if (GetParam().waitingForReply) {
        site_.SetSilent(dev_, true);
        Query();
        ASSERT_TRUE(site_.WaitFor(dev_, [](const devsim::DeviceSnapshot& s) { return s.statusQueries == 1; }, 2s));
    }
    std::this_thread::sleep_for(100ms);
    const auto start = QueueTarget::Clock::now();
    thread_->Stop();
    ASSERT_TRUE(target_.WaitForCode(EvEnded, 3s));
    EXPECT_LT(QueueTarget::Clock::now() - start, 500ms);
    thread_.reset();
    EXPECT_TRUE(site_.WaitFor(dev_, [](const devsim::DeviceSnapshot& s) { return !s.connected; }, 2s));
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpStopTest,
                         testing::Values(StopCase{"idle", false}, StopCase{"waiting_for_reply", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a window the thread does its work all the same, silently: it connects, sends,
// stores the reply, and ends at once when told to.
TEST(TcpCommsThreadNoWindow, RunsAndStopsWithoutNotifications) {
    devsim::Site site{devsim::SiteOptions{"", 60003}};
    devsim::DeviceConfig config;
    config.address = "127.0.2.250";
    config.serial = "TCP00250";
    const int dev = site.AddDevice(config);
    ASSERT_GE(dev, 0) << site.LastError();
    ASSERT_TRUE(site.Start());
    CData store;
    TTcpCommsThread thread(store, "60002", config.address, nullptr, 3);
    ASSERT_TRUE(site.WaitFor(
        dev, [](const devsim::DeviceSnapshot& s) { return s.connected; }, 3s));

    const std::string query = "*s?\n";
    const std::string expected = site.StatusMessage(dev);
    char buf[CData::StatusBytes];
    const auto deadline = QueueTarget::Clock::now() + 3s;
    int stored = 0;
    // The send event may come before the thread has finished its connect step, which only
    // runs its read phase after that; asking again until the reply is there is harmless.
    while (stored <= 0 && QueueTarget::Clock::now() < deadline) {
        thread.Send(query.data(), static_cast<int>(query.size()));
        std::this_thread::sleep_for(100ms);
        stored = store.GetStatusMessage(3, buf, sizeof buf);
    }
    ASSERT_GT(stored, 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(stored)), expected);

    EXPECT_FALSE(thread.Ended());
    const auto start = QueueTarget::Clock::now();
    thread.Stop();
    while (!thread.Ended() && QueueTarget::Clock::now() - start < 2s)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(thread.Ended());
    EXPECT_LT(QueueTarget::Clock::now() - start, 500ms);
    EXPECT_TRUE(site.WaitFor(
        dev, [](const devsim::DeviceSnapshot& s) { return !s.connected; }, 2s));
}

}  // namespace
