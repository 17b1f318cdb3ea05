#include "comms/TcpCommsThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <chrono>
#include <memory>
#include <string>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "support/QueueTarget.h"
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

TEST_F(TcpCommsThreadTest, UnreachableDeviceReportsOncePerSeries) {
    site_.SetRefuseConnections(dev_, true);
    StartThread(address_);
    ASSERT_TRUE(target_.WaitForCode(EvError, 3s));
    // Two more retries pass in silence.
    const auto quiet = target_.Collect(4500ms);
    EXPECT_EQ(Count(quiet, EvError), 0);
    EXPECT_EQ(Count(quiet, EvConnectTimeout), 0);
    // A reconnect starts a new series, whose first failure is reported again.
    thread_->Reconnect();
    ASSERT_TRUE(target_.WaitForCode(EvError, 3s));
    // And once the device listens again, the retries find it.
    site_.SetRefuseConnections(dev_, false);
    EXPECT_TRUE(target_.WaitForCode(EvConnected, 5s));
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

TEST_F(TcpCommsThreadTest, EmptyRequestSlotIsAnError) {
    StartConnected();
    thread_->Send("", 0);
    EXPECT_TRUE(target_.WaitForCode(EvError, 2s));
}

TEST_F(TcpCommsThreadTest, UnresolvableHostIsAnError) {
    StartThread("no such host.invalid");
    EXPECT_TRUE(target_.WaitForCode(EvError, 5s));
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

TEST(TcpCommsThreadNoWindow, RunsAndStopsWithoutNotifications) {
    CData store;
    TTcpCommsThread thread(store, "60002", "127.0.2.250", nullptr, 3);
    std::this_thread::sleep_for(50ms);
    thread.Stop();
}

}  // namespace
