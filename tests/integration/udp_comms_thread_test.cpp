#include "comms/UdpCommsThread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <memory>
#include <string>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "support/QueueTarget.h"
#include "tools/devsim/Site.h"

namespace {

using namespace std::chrono_literals;
using Msg = QueueTarget::Message;

// Discovery on loopback: the request goes to the simulated site's listening address
// instead of the limited broadcast, on a port of its own so that no other test meets it.
constexpr std::uint16_t kPort = 62003;
const std::string kHub = "127.0.3.254";

// A plain UDP socket of the test, standing in for a device that answers out of turn.
struct TestSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    explicit TestSocket(const char* bindAddress) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, bindAddress, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~TestSocket() { close(fd); }
    void SendTo(const std::string& bytes, const char* address, std::uint16_t port) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

int Count(const std::vector<Msg>& msgs, std::uint16_t code) {
    int n = 0;
    for (const Msg& m : msgs) n += m.Code() == code ? 1 : 0;
    return n;
}

class UdpCommsThreadTest : public testing::Test {
protected:
    void Start(const std::string& destination = kHub) {
        thread_ = std::make_unique<TUdpCommsThread>(store_, kPort, &target_, destination);
        ASSERT_TRUE(target_.WaitForCode(EvStarted, 2s));
    }
    void Discover(const std::string& text = "VELKAN\n") {
        thread_->SendDiscovery(text.data(), static_cast<int>(text.size()));
    }

    // Replies are taken only while a request of the thread's own is out; the request leaves
    // from the thread, a moment after it is handed over.
    void OpenReplyWindow() {
        Discover();
        std::this_thread::sleep_for(100ms);
    }

    CData store_;
    QueueTarget target_;
    std::unique_ptr<TUdpCommsThread> thread_;
};

TEST_F(UdpCommsThreadTest, RepliesOfEveryDeviceAreQueuedWithAddressAndModel) {
    devsim::Site site(devsim::SiteOptions{kHub, kPort});
    const struct {
        const char* address;
        const char* model;
        const char* serial;
        std::uint8_t code;
    } devices[] = {{"127.0.3.2", "00", "UDP00002", 1}, {"127.0.3.3", "02", "UDP00003", 3},
                   {"127.0.3.4", "03", "UDP00004", 4}};
    for (const auto& d : devices) {
        devsim::DeviceConfig c;
        c.address = d.address;
        c.modelText = d.model;
        c.serial = d.serial;
        c.udpPort = kPort;
        c.acceptTcp = false;
        ASSERT_GE(site.AddDevice(c), 0) << site.LastError();
    }
    ASSERT_TRUE(site.Start());
    Start();
    Discover();

    std::map<std::string, std::uint8_t> announced;
    for (int i = 0; i < 3; ++i) {
        const auto m = target_.WaitForCode(EvReceived, 3s);
        ASSERT_TRUE(m) << i;
        EXPECT_EQ(m->msg, WM_UDPTHREAD);
        std::uint8_t addr[4];
        UdpThreadAddress(m->wParam, m->lParam, addr);
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
        announced[text] = UdpThreadModel(m->lParam);
    }
    ASSERT_EQ(store_.ReplyCount(), 3);
    for (const auto& d : devices) {
        EXPECT_EQ(announced[d.address], d.code) << d.address;
    }
    for (int i = 0; i < 3; ++i) {
        std::uint8_t addr[4];
        char buf[64];
        const int n = store_.TakeReply(addr, buf, sizeof buf);
        ASSERT_GT(n, 0);
        const std::string reply(buf, static_cast<std::size_t>(n));
        const auto& d = devices[addr[3] - 2];
        EXPECT_EQ(reply, std::string("VELKAN:M") + d.model + "R" + d.serial + "\n");
        EXPECT_EQ(addr[0], 127);
        EXPECT_EQ(addr[1], 0);
        EXPECT_EQ(addr[2], 3);
    }
}

TEST_F(UdpCommsThreadTest, DatagramSizeLimitAndNonReplies) {
    Start();
    OpenReplyWindow();
    TestSocket peer("127.0.3.20");
    std::string reply64 = "VELKAN:M01R00000064";
    reply64 += std::string(64 - reply64.size() - 1, 'x') + "\n";
    ASSERT_EQ(reply64.size(), 64u);
    // A valid reply in its first 64 bytes, line end included, and one byte more: cut to the
    // buffer it would pass for a reply, so only the datagram's full length can refuse it.
    std::string reply65 = "VELKAN:M03R00000065\n";
    reply65 += std::string(65 - reply65.size(), 'x');
    ASSERT_EQ(reply65.size(), 65u);
    peer.SendTo(reply65, "127.0.0.1", kPort);
    peer.SendTo("not a reply at all\n", "127.0.0.1", kPort);
    peer.SendTo(reply64, "127.0.0.1", kPort);
    const auto m = target_.WaitForCode(EvReceived, 3s);
    ASSERT_TRUE(m);
    EXPECT_EQ(UdpThreadModel(m->lParam), 2);
    EXPECT_EQ(Count(target_.Collect(300ms), EvReceived), 0);
    std::uint8_t addr[4];
    char buf[64];
    ASSERT_EQ(store_.TakeReply(addr, buf, sizeof buf), 64);
    EXPECT_EQ(std::string(buf, 64), reply64);
    EXPECT_EQ(addr[3], 20);
}

// Anybody can send a datagram that looks like a reply: only the replies to a request of the
// thread's own, within its window, are taken.
TEST_F(UdpCommsThreadTest, RepliesOutsideTheRequestWindowAreDropped) {
    Start();
    TestSocket peer("127.0.3.22");
    peer.SendTo("VELKAN:M03R00000022\n", "127.0.0.1", kPort);
    EXPECT_EQ(Count(target_.Collect(300ms), EvReceived), 0);
    OpenReplyWindow();
    peer.SendTo("VELKAN:M03R00000022\n", "127.0.0.1", kPort);
    EXPECT_TRUE(target_.WaitForCode(EvReceived, 1s));
    std::this_thread::sleep_for(std::chrono::milliseconds(TUdpCommsThread::ReplyWindowMs));
    peer.SendTo("VELKAN:M03R00000022\n", "127.0.0.1", kPort);
    EXPECT_EQ(Count(target_.Collect(300ms), EvReceived), 0);
    EXPECT_EQ(store_.ReplyCount(), 1);
}

TEST_F(UdpCommsThreadTest, OwnRequestComingBackIsDropped) {
    Start("127.0.0.1");  // the request is sent to the thread's own socket
    Discover();
    const auto msgs = target_.Collect(1200ms);
    EXPECT_EQ(Count(msgs, EvReceived), 0);
    EXPECT_EQ(Count(msgs, EvError), 0);
    EXPECT_EQ(store_.ReplyCount(), 0);
}

TEST_F(UdpCommsThreadTest, EmptyDiscoverySlotIsAnError) {
    Start();
    Discover("");
    EXPECT_TRUE(target_.WaitForCode(EvError, 2s));
}

TEST_F(UdpCommsThreadTest, BadDestinationIsAnError) {
    Start("not an address");
    Discover();
    EXPECT_TRUE(target_.WaitForCode(EvError, 2s));
}

TEST_F(UdpCommsThreadTest, BurstBeyondTheQueueKeepsTheNewestAndAnnouncesEach) {
    Start();
    OpenReplyWindow();
    TestSocket peer("127.0.3.21");
    for (int i = 0; i < 60; ++i) {
        char reply[32];
        std::snprintf(reply, sizeof reply, "VELKAN:M03R%08d\n", i);
        peer.SendTo(reply, "127.0.0.1", kPort);
    }
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(target_.WaitForCode(EvReceived, 3s)) << i;
    EXPECT_EQ(store_.ReplyCount(), 49);
    std::uint8_t addr[4];
    char buf[64];
    const int n = store_.TakeReply(addr, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "VELKAN:M03R00000011\n");
}

TEST_F(UdpCommsThreadTest, StopEndsTheThreadAtOnce) {
    Start();
    std::this_thread::sleep_for(100ms);
    const auto start = QueueTarget::Clock::now();
    thread_->Stop();
    ASSERT_TRUE(target_.WaitForCode(EvEnded, 2s));
    EXPECT_LT(QueueTarget::Clock::now() - start, 500ms);
}

TEST(UdpCommsThreadStart, PortInUseEndsTheThreadBeforeItStarts) {
    // A socket without address reuse holds the port.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort + 1);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    CData store;
    QueueTarget target;
    {
        TUdpCommsThread thread(store, kPort + 1, &target);
        const auto first = target.WaitForCode(EvEnded, 2s);
        ASSERT_TRUE(first);
        EXPECT_TRUE(target.WaitForCode(EvStarted, 2s));
        thread.SendDiscovery("VELKAN\n", 7);  // nobody runs to send it: no crash, no report
        EXPECT_TRUE(target.Collect(300ms).empty());
    }
    close(holder);
}

}  // namespace
