// Self-test of the network namespace test bed: if these fail, every discovery test built
// on the bed would fail (or worse, pass) for reasons that have nothing to do with the
// monitor, so the bed's own promises are checked here first.

#include "tests/support/NetnsTestBed.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t kPort = 60003;
constexpr auto kWait = std::chrono::seconds(3);

// Owns one socket fd so an early ASSERT return cannot leak it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

struct Datagram {
    std::string payload;
    std::string sourceAddress;
    std::uint16_t sourcePort = 0;
};

sockaddr_in Endpoint(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

Fd UdpSocket(bool broadcast, bool reuseAddress) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    if (fd.get() >= 0 && broadcast) setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (fd.get() >= 0 && reuseAddress) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return fd;
}

// Returns 0 or the errno of bind().
int Bind(const Fd& fd, const std::string& address, std::uint16_t port) {
    const sockaddr_in sa = Endpoint(address, port);
    return bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

// Returns 0 or the errno of sendto().
int SendTo(const Fd& fd, const std::string& address, std::uint16_t port, const std::string& payload) {
    const sockaddr_in sa = Endpoint(address, port);
    const ssize_t n = sendto(fd.get(), payload.data(), payload.size(), 0,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) return errno;
    return n == static_cast<ssize_t>(payload.size()) ? 0 : EMSGSIZE;
}

// Waits (bounded) for the next datagram on fd.
std::optional<Datagram> Receive(const Fd& fd, std::chrono::milliseconds timeout) {
    pollfd pfd{fd.get(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buf[1500];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd.get(), buf, sizeof buf, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{std::string(buf, static_cast<std::size_t>(n)), text, ntohs(from.sin_port)};
}

// Reads datagrams until one carries `payload` or the deadline passes; every datagram read
// is appended to *seen so a failure can show what did arrive.
std::optional<Datagram> ReceivePayload(const Fd& fd, const std::string& payload,
                                       std::vector<Datagram>* seen) {
    const auto end = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto d = Receive(fd, left);
        if (!d) return std::nullopt;
        seen->push_back(*d);
        if (d->payload == payload) return d;
    }
}

std::string Describe(const std::vector<Datagram>& seen) {
    std::string out = "received " + std::to_string(seen.size()) + " datagram(s):";
    for (const auto& d : seen) {
        out += " [" + d.payload + " from " + d.sourceAddress + ":" + std::to_string(d.sourcePort) + "]";
    }
    return out;
}

ino_t NetnsInode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_ino;
}

ino_t ThreadNetnsInode() { return NetnsInode("/proc/thread-self/ns/net"); }

std::set<std::string> InterfaceNames() {
    std::set<std::string> names;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index != 0; ++i) names.insert(i->if_name);
        if_freenameindex(list);
    }
    return names;
}

std::string IpNetnsList() {
    std::string out;
    if (FILE* p = popen("ip netns list 2>&1", "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

// `ip netns list` prints one namespace per line, optionally followed by " (id: N)".
bool NetnsListed(const std::string& list, const std::string& name) {
    std::size_t pos = 0;
    while (pos < list.size()) {
        const std::size_t eol = std::min(list.find('\n', pos), list.size());
        const std::string line = list.substr(pos, eol - pos);
        if (line == name || line.rfind(name + " ", 0) == 0) return true;
        pos = eol + 1;
    }
    return false;
}

}  // namespace

// The path discovery depends on: a limited broadcast from the monitor namespace reaches a
// wildcard-bound device socket, and a device's unicast answer from its own address comes
// back. Sockets are created inside ScopedNetns but bound and used after leaving it, which
// is the pattern the other tests rely on.
TEST(TestBed, BroadcastReachesDevicesAndUnicastReplyReturns) {
    AVLO_REQUIRE_NETNS();
    NetnsTestBed bed(3);
    ASSERT_TRUE(bed.ok()) << bed.error();

    Fd monitor;
    {
        ScopedNetns in(bed.MonitorNs());
        ASSERT_TRUE(in.ok()) << in.error();
        monitor = UdpSocket(/*broadcast=*/true, /*reuseAddress=*/true);
    }
    Fd deviceAny;
    Fd deviceUnicast;
    {
        ScopedNetns in(bed.DeviceNs());
        ASSERT_TRUE(in.ok()) << in.error();
        deviceAny = UdpSocket(/*broadcast=*/true, /*reuseAddress=*/true);
        deviceUnicast = UdpSocket(/*broadcast=*/true, /*reuseAddress=*/true);
    }
    ASSERT_GE(monitor.get(), 0);
    ASSERT_GE(deviceAny.get(), 0);
    ASSERT_GE(deviceUnicast.get(), 0);

    // Back in the original namespace here; 10.77.0.3 exists only in -dev, so this bind
    // succeeding shows the socket kept the namespace it was created in.
    const int monitorBind = Bind(monitor, "0.0.0.0", kPort);
    ASSERT_EQ(monitorBind, 0) << "monitor bind: " << std::strerror(monitorBind);
    const int anyBind = Bind(deviceAny, "0.0.0.0", kPort);
    ASSERT_EQ(anyBind, 0) << "device wildcard bind: " << std::strerror(anyBind);
    const std::string device1 = bed.DeviceAddress(1);
    ASSERT_EQ(device1, "10.77.0.3");
    const int unicastBind = Bind(deviceUnicast, device1, kPort);
    ASSERT_EQ(unicastBind, 0) << "bind " << device1 << ": " << std::strerror(unicastBind);

    // Monitor -> everyone.
    const int sent = SendTo(monitor, NetnsTestBed::BroadcastAddress(), kPort, "discover");
    ASSERT_EQ(sent, 0) << "broadcast send: " << std::strerror(sent);

    std::vector<Datagram> seenByDevice;
    auto probe = ReceivePayload(deviceAny, "discover", &seenByDevice);
    ASSERT_TRUE(probe.has_value()) << "broadcast did not reach the device side; " << Describe(seenByDevice);
    EXPECT_EQ(probe->sourceAddress, NetnsTestBed::MonitorAddress());
    EXPECT_EQ(probe->sourcePort, kPort);

    // Linux loops a broadcast back to the sender's own namespace: the monitor must expect
    // to read its own probe, from its own address.
    std::vector<Datagram> seenByMonitor;
    auto echo = ReceivePayload(monitor, "discover", &seenByMonitor);
    ASSERT_TRUE(echo.has_value()) << Describe(seenByMonitor);
    EXPECT_EQ(echo->sourceAddress, NetnsTestBed::MonitorAddress());

    // Device 10.77.0.3 -> monitor, unicast.
    const int replied = SendTo(deviceUnicast, NetnsTestBed::MonitorAddress(), kPort, "reply-from-3");
    ASSERT_EQ(replied, 0) << "unicast reply: " << std::strerror(replied);
    auto reply = ReceivePayload(monitor, "reply-from-3", &seenByMonitor);
    ASSERT_TRUE(reply.has_value()) << "reply did not reach the monitor; " << Describe(seenByMonitor);
    EXPECT_EQ(reply->sourceAddress, device1);
    EXPECT_EQ(reply->sourcePort, kPort);

    // The device side has its own broadcast route: a wildcard-bound device socket can
    // broadcast too, and it goes out with the primary address 10.77.0.2.
    const int devBroadcast = SendTo(deviceAny, NetnsTestBed::BroadcastAddress(), kPort, "hello-from-dev");
    ASSERT_EQ(devBroadcast, 0) << "device broadcast: " << std::strerror(devBroadcast);
    auto fromDev = ReceivePayload(monitor, "hello-from-dev", &seenByMonitor);
    ASSERT_TRUE(fromDev.has_value()) << Describe(seenByMonitor);
    EXPECT_EQ(fromDev->sourceAddress, bed.DeviceAddress(0));
}

// The bed must be invisible from the host: no veth, no 10.77.0.x address there. Inside,
// each namespace holds only lo and its veth end, and -dev holds exactly N device addresses.
TEST(TestBed, HostStaysCleanAndNamespacesHoldOnlyTheBed) {
    AVLO_REQUIRE_NETNS();
    NetnsTestBed bed(4);
    ASSERT_TRUE(bed.ok()) << bed.error();

    const std::set<std::string> hostInterfaces = InterfaceNames();
    EXPECT_EQ(hostInterfaces.count(NetnsTestBed::MonitorInterface()), 0u);
    EXPECT_EQ(hostInterfaces.count(NetnsTestBed::DeviceInterface()), 0u);
    for (const std::string& address : {NetnsTestBed::MonitorAddress(), bed.DeviceAddress(0),
                                       bed.DeviceAddress(3)}) {
        Fd s = UdpSocket(false, false);
        ASSERT_GE(s.get(), 0);
        EXPECT_EQ(Bind(s, address, 0), EADDRNOTAVAIL) << address << " must not exist in the host namespace";
    }

    {
        ScopedNetns in(bed.MonitorNs());
        ASSERT_TRUE(in.ok()) << in.error();
        EXPECT_EQ(InterfaceNames(), (std::set<std::string>{"lo", NetnsTestBed::MonitorInterface()}));
        Fd s = UdpSocket(false, false);
        EXPECT_EQ(Bind(s, NetnsTestBed::MonitorAddress(), 0), 0);
    }
    {
        ScopedNetns in(bed.DeviceNs());
        ASSERT_TRUE(in.ok()) << in.error();
        EXPECT_EQ(InterfaceNames(), (std::set<std::string>{"lo", NetnsTestBed::DeviceInterface()}));
        for (int i = 0; i < bed.Devices(); ++i) {
            Fd s = UdpSocket(false, false);
            EXPECT_EQ(Bind(s, bed.DeviceAddress(i), 0), 0) << bed.DeviceAddress(i);
        }
        Fd beyond = UdpSocket(false, false);
        EXPECT_EQ(Bind(beyond, bed.DeviceAddress(bed.Devices()), 0), EADDRNOTAVAIL)
            << "one address more than --devices asked for";
        Fd monitorAddr = UdpSocket(false, false);
        EXPECT_EQ(Bind(monitorAddr, NetnsTestBed::MonitorAddress(), 0), EADDRNOTAVAIL);
    }
}

// ScopedNetns moves only the calling thread (threads it starts meanwhile inherit), nests, restores exactly, and reports a
// missing namespace without moving anything.
TEST(TestBed, ScopedNetnsSwitchesOnlyThisThreadAndRestores) {
    AVLO_REQUIRE_NETNS();
    NetnsTestBed bed(1);
    ASSERT_TRUE(bed.ok()) << bed.error();

    const ino_t original = ThreadNetnsInode();
    const ino_t mon = NetnsInode("/var/run/netns/" + bed.MonitorNs());
    const ino_t dev = NetnsInode("/var/run/netns/" + bed.DeviceNs());
    ASSERT_NE(original, 0u);
    ASSERT_NE(mon, 0u);
    ASSERT_NE(dev, 0u);
    ASSERT_NE(mon, original);
    ASSERT_NE(dev, original);
    ASSERT_NE(mon, dev);

    // A thread that exists before the switch and looks at its namespace while this
    // thread is inside -mon.
    std::promise<void> entered;
    std::future<ino_t> runningThread = std::async(std::launch::async, [f = entered.get_future()]() mutable {
        f.wait_for(kWait);
        return ThreadNetnsInode();
    });
    {
        ScopedNetns inMon(bed.MonitorNs());
        ASSERT_TRUE(inMon.ok()) << inMon.error();
        EXPECT_EQ(ThreadNetnsInode(), mon);
        entered.set_value();

        EXPECT_EQ(runningThread.get(), original) << "a thread already running must not follow this one";

        // A thread started from inside inherits the namespace it was started in.
        ino_t startedInside = 0;
        std::thread([&] { startedInside = ThreadNetnsInode(); }).join();
        EXPECT_EQ(startedInside, mon);

        {
            ScopedNetns inDev(bed.DeviceNs());
            ASSERT_TRUE(inDev.ok()) << inDev.error();
            EXPECT_EQ(ThreadNetnsInode(), dev);
        }
        EXPECT_EQ(ThreadNetnsInode(), mon) << "leaving the inner scope returns to the outer one";
    }
    EXPECT_EQ(ThreadNetnsInode(), original);

    {
        ScopedNetns missing(bed.Prefix() + "-nosuch");
        EXPECT_FALSE(missing.ok());
        EXPECT_NE(missing.error().find(bed.Prefix() + "-nosuch"), std::string::npos) << missing.error();
        EXPECT_EQ(ThreadNetnsInode(), original);
    }
    EXPECT_EQ(ThreadNetnsInode(), original);
}

// up twice is fine, status tells the truth, down removes everything and can be repeated;
// the RAII bed leaves nothing behind either.
TEST(TestBed, ScriptIsIdempotentAndDownLeavesNoNamespace) {
    AVLO_REQUIRE_NETNS();
    const std::string name = "avlo" + std::to_string(getpid()) + "s";
    std::string out;

    ASSERT_EQ(NetnsTestBed::RunScript({"up", "--name", name, "--devices", "2"}, &out), 0) << out;
    ASSERT_EQ(NetnsTestBed::RunScript({"up", "--name", name, "--devices", "5"}, &out), 0)
        << "second up over a live bed: " << out;
    EXPECT_EQ(NetnsTestBed::RunScript({"status", "--name", name}, &out), 0) << out;
    EXPECT_NE(out.find("10.77.0.6/24"), std::string::npos) << "the rebuilt bed has 5 devices: " << out;
    EXPECT_EQ(out.find("10.77.0.7/24"), std::string::npos) << out;
    std::string list = IpNetnsList();
    EXPECT_TRUE(NetnsListed(list, name + "-mon")) << list;
    EXPECT_TRUE(NetnsListed(list, name + "-dev")) << list;

    EXPECT_EQ(NetnsTestBed::RunScript({"down", "--name", name}, &out), 0) << out;
    list = IpNetnsList();
    EXPECT_FALSE(NetnsListed(list, name + "-mon")) << list;
    EXPECT_FALSE(NetnsListed(list, name + "-dev")) << list;
    EXPECT_NE(access(("/var/run/netns/" + name + "-mon").c_str(), F_OK), 0);
    EXPECT_EQ(NetnsTestBed::RunScript({"down", "--name", name}, &out), 0) << "down of an absent bed: " << out;
    EXPECT_EQ(NetnsTestBed::RunScript({"status", "--name", name}, &out), 1) << out;

    EXPECT_EQ(NetnsTestBed::RunScript({"up", "--name", name, "--devices", "0"}, &out), 64) << out;
    EXPECT_FALSE(NetnsListed(IpNetnsList(), name + "-mon"));

    std::string mon, dev;
    {
        NetnsTestBed bed(2);
        ASSERT_TRUE(bed.ok()) << bed.error();
        mon = bed.MonitorNs();
        dev = bed.DeviceNs();
        list = IpNetnsList();
        EXPECT_TRUE(NetnsListed(list, mon)) << list;
        EXPECT_TRUE(NetnsListed(list, dev)) << list;
    }
    list = IpNetnsList();
    EXPECT_FALSE(NetnsListed(list, mon)) << list;
    EXPECT_FALSE(NetnsListed(list, dev)) << list;
}

// The fixture form builds the bed in SetUp and removes it in TearDown; the TearDown
// override checks the removal.
class TwoDeviceBed : public NetnsTestBedFixture<2> {
protected:
    void TearDown() override {
        NetnsTestBedFixture<2>::TearDown();
        if (!monitorNs_.empty()) {
            const std::string list = IpNetnsList();
            EXPECT_FALSE(NetnsListed(list, monitorNs_)) << list;
            EXPECT_FALSE(NetnsListed(list, deviceNs_)) << list;
        }
    }
    std::string monitorNs_;
    std::string deviceNs_;
};

TEST_F(TwoDeviceBed, FixtureBuildsTheBedAndTearDownRemovesIt) {
    EXPECT_EQ(bed().Devices(), 2);
    monitorNs_ = bed().MonitorNs();
    deviceNs_ = bed().DeviceNs();
    const std::string list = IpNetnsList();
    EXPECT_TRUE(NetnsListed(list, monitorNs_)) << list;
    EXPECT_TRUE(NetnsListed(list, deviceNs_)) << list;
}
