// The real limited broadcast, end to end: the monitor's sockets live in one network
// namespace and the simulated devices in another, joined by a veth pair, so the request to
// 255.255.255.255 crosses a link like a real cable while nothing leaves the machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "comms/TcpCommsThread.h"
#include "comms/UdpCommsThread.h"
#include "support/NetnsTestBed.h"
#include "support/QueueTarget.h"
#include "tools/devsim/Site.h"

namespace {

using namespace std::chrono_literals;

struct SimDevice {
    const char* model;
    const char* serial;
    std::uint8_t code;
};
const SimDevice kDevices[] = {
    {"00", "NS000002", 1}, {"01", "NS000003", 2}, {"02", "NS000004", 3}, {"03", "NS000005", 4}};

class DiscoveryNetnsTest : public NetnsTestBedFixture<4> {
protected:
    void SetUp() override {
        NetnsTestBedFixture<4>::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ScopedNetns devices(bed().DeviceNs());
        ASSERT_TRUE(devices.ok()) << devices.error();
        site_ = std::make_unique<devsim::Site>(devsim::SiteOptions{"0.0.0.0", 60003});
        for (int i = 0; i < 4; ++i) {
            devsim::DeviceConfig c;
            c.address = NetnsTestBed::DeviceAddress(i);
            c.modelText = kDevices[i].model;
            c.serial = kDevices[i].serial;
            ASSERT_GE(site_->AddDevice(c), 0) << site_->LastError();
        }
        ASSERT_TRUE(site_->Start());
    }
    void TearDown() override {
        udp_.reset();
        site_.reset();
        NetnsTestBedFixture<4>::TearDown();
    }

    void StartDiscoveryThread(const std::string& destination = TUdpCommsThread::DefaultDestination) {
        ScopedNetns monitor(bed().MonitorNs());
        ASSERT_TRUE(monitor.ok()) << monitor.error();
        udp_ = std::make_unique<TUdpCommsThread>(store_, 60003, &target_, destination);
        ASSERT_TRUE(target_.WaitForCode(EvStarted, 2s));
    }

    // Sends bytes from a socket in the device namespace, as a stray sender on the link.
    void SendFromDeviceSide(const std::string& bytes, const std::string& from) {
        ScopedNetns devices(bed().DeviceNs());
        ASSERT_TRUE(devices.ok()) << devices.error();
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        a.sin_port = htons(60003);
        inet_pton(AF_INET, NetnsTestBed::MonitorAddress().c_str(), &a.sin_addr);
        EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    CData store_;
    QueueTarget target_;
    std::unique_ptr<devsim::Site> site_;
    std::unique_ptr<TUdpCommsThread> udp_;
};

TEST_F(DiscoveryNetnsTest, BroadcastReachesEveryDeviceAndEachReplyIsQueued) {
    StartDiscoveryThread();
    udp_->SendDiscovery("VELKAN\n", 7);

    std::map<std::string, std::uint8_t> announced;
    for (int i = 0; i < 4; ++i) {
        const auto m = target_.WaitForCode(EvReceived, 3s);
        ASSERT_TRUE(m) << "reply " << i;
        std::uint8_t addr[4];
        UdpThreadAddress(m->wParam, m->lParam, addr);
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
        announced[text] = UdpThreadModel(m->lParam);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(announced[NetnsTestBed::DeviceAddress(i)], kDevices[i].code) << i;
    }
    // The request came back to the thread's own socket too, and was not taken for a reply.
    const auto rest = target_.Collect(500ms);
    for (const auto& m : rest) EXPECT_NE(m.Code(), EvReceived);
    ASSERT_EQ(store_.ReplyCount(), 4);
    for (int i = 0; i < 4; ++i) {
        std::uint8_t addr[4];
        char buf[64];
        const int n = store_.TakeReply(addr, buf, sizeof buf);
        ASSERT_GT(n, 0);
        const int index = addr[3] - 2;
        ASSERT_TRUE(index >= 0 && index < 4) << int(addr[3]);
        EXPECT_EQ(addr[0], 10);
        EXPECT_EQ(addr[1], 77);
        EXPECT_EQ(addr[2], 0);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)),
                  std::string("VELKAN:M") + kDevices[index].model + "R" + kDevices[index].serial + "\n");
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(site_->Snapshot(i).discoveryRequests, 1) << i;
}

// A request to an address of the bed where nobody listens opens the window for replies
// without any device answering it.
TEST_F(DiscoveryNetnsTest, OverlongDatagramProducesNothing) {
    StartDiscoveryThread("10.77.0.250");
    udp_->SendDiscovery("VELKAN\n", 7);
    // Valid within its first 64 bytes, line end included: cut short it would pass for a reply.
    std::string reply = "VELKAN:M03R00000065\n";
    reply += std::string(65 - reply.size(), '0');
    ASSERT_EQ(reply.size(), 65u);
    SendFromDeviceSide(reply, NetnsTestBed::DeviceAddress(3));
    const auto msgs = target_.Collect(700ms);
    for (const auto& m : msgs) EXPECT_NE(m.Code(), EvReceived);
    EXPECT_EQ(store_.ReplyCount(), 0);
    SendFromDeviceSide("VELKAN:M03R00000064\n", NetnsTestBed::DeviceAddress(3));
    EXPECT_TRUE(target_.WaitForCode(EvReceived, 2s));
}

TEST_F(DiscoveryNetnsTest, EmptyDiscoverySlotIsAnError) {
    StartDiscoveryThread();
    udp_->SendDiscovery("", 0);
    EXPECT_TRUE(target_.WaitForCode(EvError, 2s));
    EXPECT_EQ(site_->Snapshot(0).discoveryRequests, 0);
}

// On a real link an address where nobody answers leaves the connect pending until the
// thread gives up: the one case loopback cannot show.
TEST_F(DiscoveryNetnsTest, ConnectToASilentAddressTimesOut) {
    std::unique_ptr<TTcpCommsThread> tcp;
    {
        ScopedNetns monitor(bed().MonitorNs());
        ASSERT_TRUE(monitor.ok()) << monitor.error();
        tcp = std::make_unique<TTcpCommsThread>(store_, "60002", "10.77.0.200", &target_, 9);
    }
    ASSERT_TRUE(target_.WaitForCode(EvStarted, 2s));
    const auto start = QueueTarget::Clock::now();
    ASSERT_TRUE(target_.WaitForCode(EvConnectTimeout, 4s));
    EXPECT_GE(QueueTarget::Clock::now() - start, 1900ms);
    const auto t0 = QueueTarget::Clock::now();
    tcp->Stop();
    EXPECT_TRUE(target_.WaitForCode(EvEnded, 2s));
    EXPECT_LT(QueueTarget::Clock::now() - t0, 500ms);
}

TEST_F(DiscoveryNetnsTest, StatusQueryAcrossTheLink) {
    std::unique_ptr<TTcpCommsThread> tcp;
    {
        ScopedNetns monitor(bed().MonitorNs());
        ASSERT_TRUE(monitor.ok()) << monitor.error();
        tcp = std::make_unique<TTcpCommsThread>(store_, "60002", NetnsTestBed::DeviceAddress(2), &target_, 4);
    }
    ASSERT_TRUE(target_.WaitForCode(EvConnected, 3s));
    tcp->Send("*s?\n", 4);
    ASSERT_TRUE(target_.WaitForCode(EvReceived, 3s));
    char buf[256];
    const int n = store_.GetStatusMessage(4, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), site_->StatusMessage(2));
}

}  // namespace
