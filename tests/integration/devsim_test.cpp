// Holds the device simulator against the monitor's own codec: whatever the simulator puts on
// the wire must read back as the state it was told to have.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "protocol/Mca.h"
#include "tools/devsim/ByteText.h"
#include "tools/devsim/Site.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Patience = 2000ms;  // for what must happen
constexpr auto Quiet = 150ms;      // for what must not
constexpr const char* DeviceAddress = "127.0.1.2";

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

sockaddr_in Address(const std::string& ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    return sa;
}

// The connected socket, or -1 with the connect() errno in error.
Socket Connect(const std::string& ip, std::uint16_t port = 60002, int* error = nullptr) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in sa = Address(ip, port);
    const int rc = ::connect(s.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (error) *error = rc == 0 ? 0 : errno;
    return rc == 0 ? std::move(s) : Socket();
}

void Send(const Socket& s, const std::string& bytes) {
    ASSERT_EQ(::send(s.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// One read() as soon as data, EOF or an error is there: bytes read, 0 on EOF, -errno on
// error, or INT32_MIN when nothing came in time.
long ReadOnce(const Socket& s, std::chrono::milliseconds limit, std::string* into = nullptr) {
    pollfd p{s.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return INT32_MIN;
    char buffer[65536];
    const ssize_t n = ::read(s.Get(), buffer, sizeof buffer);  // read(): also serves pipes
    if (n < 0) return -errno;
    if (into) into->append(buffer, static_cast<std::size_t>(n));
    return n;
}

// What arrives until `lines` newlines are in (0: whatever comes before the time is up).
std::string Read(const Socket& s, int lines, std::chrono::milliseconds limit) {
    std::string data;
    const auto deadline = Clock::now() + limit;
    for (long seen = 0; lines == 0 || seen < lines;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const std::size_t before = data.size();
        if (left <= 0ms || ReadOnce(s, left, &data) <= 0) break;
        seen += std::count(data.begin() + static_cast<long>(before), data.end(), '\n');
    }
    return data;
}

std::string Query(const Socket& s) {
    Send(s, "*s?\n");
    return Read(s, 1, Patience);
}

struct Parsed {
    bool ok = false;
    DeviceStatus status;
    std::uint8_t model = 0;
    std::string serial;
};

Parsed ParseStatus(const std::string& message) {
    CMca codec;
    Parsed p;
    const int length = static_cast<int>(message.size());
    p.ok = codec.IsValidStatus(message.data(), length) &&
           codec.ParseStatus(message.data(), length, p.status, p.model, p.serial);
    return p;
}

std::uint8_t MaskOf(const DeviceStatus& status) {
    return CMca().ChannelMask(status.ChannelOn);
}

std::vector<std::uint8_t> Flags(const std::uint8_t* flags, int count) {
    return std::vector<std::uint8_t>(flags, flags + count);
}

// A device without sockets: enough for everything that only concerns its bytes.
devsim::DeviceConfig Offline(std::string model = "03", std::string serial = "00000001") {
    devsim::DeviceConfig config;
    config.address = DeviceAddress;
    config.modelText = std::move(model);
    config.serial = std::move(serial);
    config.acceptTcp = false;
    config.answerDiscovery = false;
    return config;
}

devsim::DeviceConfig Online(std::string address = DeviceAddress, std::string model = "03") {
    devsim::DeviceConfig config;
    config.address = std::move(address);
    config.modelText = std::move(model);
    config.answerDiscovery = false;
    return config;
}

// ---------------------------------------------------------------------------------------
// Status bytes

TEST(DevsimStatus, MessagesHaveExactBytes) {
    struct Case {
        std::string model, serial;
        bool active;
        std::uint8_t mask;
        std::int32_t minutes;
        std::string order, expected;
    };
    const Case cases[] = {
        {"03", "12345678", true, 0x7F, 12345, "MRPVADTFCH",
         "*M03R12345678P1V1111A1111111D1111111T1111111F1111111C1111111H00012345\n"},
        {"00", "00000001", false, 0x7F, 0, "MRPVADTFCH",
         "*M00R00000001P0V1111A0000011D1111111T1111111F1111111C1111111H00000000\n"},
        {"02", "ABCDEFGH", true, 0x55, 99999999, "MRPVADTFCH",
         "*M02RABCDEFGHP1V1111A0010101D1111111T1111111F1111111C1111111H99999999\n"},
        {"01", "00000007", true, 0x82, -42, "MRPVADTFCH",
         "*M01R00000007P1V1111A0000010D1111111T1111111F1111111C1111111H-0000042\n"},
        {"03", "12345678", true, 0x40, 5, "HCFTDAVPRM",
         "*H00000005C1111111F1111111T1111111D1111111A1000000V1111P1R12345678M03\n"},
        {"99", "00000009", true, 0x7F, 1, "MRPVADTFCH",  // unknown models keep all 7 channels
         "*M99R00000009P1V1111A1111111D1111111T1111111F1111111C1111111H00000001\n"},
    };
    for (const Case& c : cases) {
        devsim::DeviceConfig config = Offline(c.model, c.serial);
        config.active = c.active;
        config.channelMask = c.mask;
        config.operatingMinutes = c.minutes;
        config.fieldOrder = c.order;
        devsim::Site site({"", 60003});
        const int dev = site.AddDevice(config);
        ASSERT_GE(dev, 0) << site.LastError();
        EXPECT_EQ(site.StatusMessage(dev), c.expected)
            << "model " << c.model << " order " << c.order;
    }
}

TEST(DevsimStatus, FaultsShowOnlyWhereSet) {
    struct Case {
        std::string model;
        devsim::ChannelFault kind;
        int channel;
        bool shows;  // false: the model lacks the channel
    };
    const Case cases[] = {
        {"03", devsim::ChannelFault::Channel, 1, true},
        {"03", devsim::ChannelFault::Temperature, 4, true},
        {"03", devsim::ChannelFault::Fan, 7, true},
        {"03", devsim::ChannelFault::Current, 2, true},
        {"00", devsim::ChannelFault::Fan, 2, true},
        {"00", devsim::ChannelFault::Current, 3, false},
        {"02", devsim::ChannelFault::Channel, 6, false},
    };
    for (const Case& c : cases) {
        devsim::Site site({"", 60003});
        const int dev = site.AddDevice(Offline(c.model));
        site.SetChannelFault(dev, c.channel, c.kind, true);
        Parsed p = ParseStatus(site.StatusMessage(dev));
        ASSERT_TRUE(p.ok) << site.StatusMessage(dev);
        const std::uint8_t* arrays[] = {p.status.ChannelOk, p.status.TempOk, p.status.FanOk,
                                        p.status.CurrentOk};
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<std::uint8_t> expected(7, 1);
            if (c.shows && kind == static_cast<int>(c.kind)) expected[c.channel - 1] = 0;
            EXPECT_EQ(Flags(arrays[kind], 7), expected) << "model " << c.model << " kind " << kind;
        }
        EXPECT_EQ(CMca().EvaluateCondition(p.status), !c.shows);
        site.ClearFaults(dev);
        EXPECT_TRUE(CMca().EvaluateCondition(ParseStatus(site.StatusMessage(dev)).status));
    }
}

TEST(DevsimStatus, SupplyFaultsMarkTheirRail) {
    for (int rail = 0; rail < 4; ++rail) {
        devsim::Site site({"", 60003});
        const int dev = site.AddDevice(Offline());
        site.SetSupplyFault(dev, rail, true);
        const std::string message = site.StatusMessage(dev);
        std::string field = "V1111";
        field[1 + rail] = '0';
        EXPECT_NE(message.find(field), std::string::npos) << message;
        const Parsed p = ParseStatus(message);
        ASSERT_TRUE(p.ok);
        std::vector<std::uint8_t> expected(4, 1);
        expected[rail] = 0;
        EXPECT_EQ(Flags(p.status.SupplyOk, 4), expected);
        site.SetSupplyFault(dev, rail, false);
        EXPECT_NE(site.StatusMessage(dev).find("V1111"), std::string::npos);
    }
}

TEST(DevsimStatus, FieldOrderChangesLayoutNotContent) {
    const std::map<char, std::size_t> widths = {{'M', 2}, {'R', 8}, {'P', 1}, {'V', 4}, {'A', 7},
                                                {'D', 7}, {'T', 7}, {'F', 7}, {'C', 7}, {'H', 8}};
    devsim::Site site({"", 60003});
    devsim::DeviceConfig config = Offline("02", "00004321");
    config.active = false;
    config.channelMask = 0x15;
    config.operatingMinutes = 4321;
    const int dev = site.AddDevice(config);
    site.SetChannelFault(dev, 3, devsim::ChannelFault::Fan, true);
    site.SetSupplyFault(dev, 2, true);
    const Parsed reference = ParseStatus(site.StatusMessage(dev));
    ASSERT_TRUE(reference.ok);
    for (const std::string order : {"HCFTDAVPRM", "PHMRVADTFC", "RMVPCFTDAH", "MRPVADTFCH"}) {
        site.SetFieldOrder(dev, order);
        const std::string message = site.StatusMessage(dev);
        std::size_t pos = 1;
        for (const char letter : order) {
            ASSERT_LT(pos, message.size());
            EXPECT_EQ(message[pos], letter) << message;
            pos += 1 + widths.at(letter);
        }
        EXPECT_EQ(pos + 1, message.size()) << message;
        const Parsed p = ParseStatus(message);
        ASSERT_TRUE(p.ok) << message;
        EXPECT_EQ(p.status, reference.status) << message;
        EXPECT_EQ(p.model, ModelRV12);
        EXPECT_EQ(p.serial, "00004321");
    }
    const std::string before = site.StatusMessage(dev);
    site.SetFieldOrder(dev, "MRPX");  // not a field letter: ignored
    EXPECT_EQ(site.StatusMessage(dev), before);
}

TEST(DevsimSetup, BadDevicesAreRejected) {
    devsim::Site site({"", 60003});
    ASSERT_GE(site.AddDevice(Online("127.0.1.3")), 0) << site.LastError();
    struct Case {
        devsim::DeviceConfig config;
        std::string mention;
    };
    devsim::DeviceConfig badOrder = Offline();
    badOrder.fieldOrder = "MRPVXADTFCH";
    const Case cases[] = {
        {Online("127.0.1.300"), "127.0.1.300"},
        {Online("localhost"), "localhost"},
        {badOrder, "MRPVXADTFCH"},
        {Online("127.0.1.3"), "127.0.1.3:60002"},  // already taken by the first device
    };
    for (const Case& c : cases) {
        EXPECT_EQ(site.AddDevice(c.config), -1) << c.mention;
        EXPECT_NE(site.LastError().find(c.mention), std::string::npos) << site.LastError();
    }
    EXPECT_EQ(site.DeviceCount(), 1);

    devsim::Site noListener({"127.0.1.999", 61003});
    EXPECT_FALSE(noListener.DiscoveryListening());
    EXPECT_NE(noListener.LastError().find("127.0.1.999"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// TCP

TEST(DevsimTcp, EveryModelAnswersWhatTheCodecExpects) {
    struct Case {
        std::string text;
        std::uint8_t code;
        int channels;
    };
    const Case cases[] = {
        {"00", ModelRV10, 2}, {"01", ModelRV11, 3}, {"02", ModelRV12, 5}, {"03", ModelRV13, 7}};
    devsim::Site site({"", 60003});
    for (const Case& c : cases) {
        devsim::DeviceConfig config = Online("127.0.1.1" + c.text, c.text);
        config.serial = "SN0000" + c.text;
        config.operatingMinutes = 600 + c.channels;
        ASSERT_GE(site.AddDevice(config), 0) << site.LastError();
    }
    ASSERT_TRUE(site.Start());
    for (const Case& c : cases) {
        const Socket s = Connect("127.0.1.1" + c.text);
        ASSERT_GE(s.Get(), 0);
        const std::string reply = Query(s);
        const Parsed p = ParseStatus(reply);
        ASSERT_TRUE(p.ok) << reply;
        EXPECT_EQ(reply.find('\n'), reply.size() - 1) << "one message, nothing after it";
        EXPECT_EQ(p.model, c.code);
        EXPECT_EQ(p.serial, "SN0000" + c.text);
        EXPECT_EQ(p.status.Mode, 1);
        EXPECT_EQ(MaskOf(p.status), (1u << c.channels) - 1) << reply;
        EXPECT_TRUE(CMca().EvaluateCondition(p.status)) << reply;
        EXPECT_EQ(p.status.OperatingMinutes, 600 + c.channels);
    }
}

TEST(DevsimTcp, RequestsShowInTheNextStatus) {
    struct Case {
        const char* name;
        std::string model;
        std::vector<std::string> writes;  // sent apart, so they arrive as separate reads
        bool active;
        std::uint8_t mask;
        int modes, masks;
    };
    const Case cases[] = {
        {"standby", "03", {"*p0\n"}, false, 0x7F, 1, 0},
        {"two in one write", "03", {"*p0\n*p1\n"}, true, 0x7F, 2, 0},
        {"upper-case mask", "03", {"*m=05\n"}, true, 0x05, 0, 1},
        {"lower-case mask", "03", {"*m=5a\n"}, true, 0x5A, 0, 1},
        {"bit 7 ignored", "03", {"*m=FF\n"}, true, 0x7F, 0, 1},
        {"absent channels ignored", "01", {"*m=7E\n"}, true, 0x06, 0, 1},
        {"split across writes", "03", {"*p", "0\n*m", "=1", "2\n"}, false, 0x12, 1, 1},
        {"malformed ignored", "03", {"*x\n*m=G1\n*m=123\n*p2\n*P0\n\n"}, true, 0x7F, 0, 0},
    };
    for (const Case& c : cases) {
        devsim::Site site({"", 60003});
        devsim::DeviceConfig config = Online(DeviceAddress, c.model);
        config.confirmCommands = false;  // only the query's answer is read here
        const int dev = site.AddDevice(config);
        ASSERT_TRUE(site.Start());
        const Socket s = Connect(DeviceAddress);
        std::string sent;
        for (const std::string& bytes : c.writes) {
            Send(s, bytes);
            sent += bytes;
            std::this_thread::sleep_for(20ms);
        }
        const Parsed p = ParseStatus(Query(s));
        ASSERT_TRUE(p.ok) << c.name;
        EXPECT_EQ(p.status.Mode, c.active ? 1 : 0) << c.name;
        EXPECT_EQ(MaskOf(p.status), c.mask) << c.name;
        const devsim::DeviceSnapshot snap = site.Snapshot(dev);
        EXPECT_EQ(snap.modeRequests, c.modes) << c.name;
        EXPECT_EQ(snap.maskRequests, c.masks) << c.name;
        EXPECT_EQ(snap.active, c.active) << c.name;
        EXPECT_EQ(snap.channelMask, c.mask) << c.name;
        std::string recorded;
        for (const std::string& line : snap.requests) recorded += line;
        EXPECT_EQ(recorded, sent + "*s?\n") << c.name;
    }
}

class DevsimConnection : public ::testing::Test {
protected:
    void SetUp() override {
        dev_ = site_.AddDevice(Online());
        ASSERT_GE(dev_, 0) << site_.LastError();
        ASSERT_TRUE(site_.Start());
    }
    bool Until(const std::function<bool(const devsim::DeviceSnapshot&)>& pred) {
        return site_.WaitFor(dev_, pred, Patience);
    }

    devsim::Site site_{devsim::SiteOptions{"", 60003}};
    int dev_ = -1;
};

TEST_F(DevsimConnection, CommandsAreConfirmedWithTheirStatusAndOthersIgnored) {
    const Socket s = Connect(DeviceAddress);
    Send(s, "*p0\n");
    const std::string afterMode = Read(s, 1, Patience);
    EXPECT_EQ(afterMode, site_.StatusMessage(dev_));
    EXPECT_NE(afterMode.find("P0"), std::string::npos) << afterMode;
    Send(s, "*m=01\n");
    const std::string afterMask = Read(s, 1, Patience);
    EXPECT_EQ(afterMask, site_.StatusMessage(dev_));
    EXPECT_NE(afterMask.find("A0000001"), std::string::npos) << afterMask;
    Send(s, "*x\n");
    ASSERT_TRUE(Until([](const auto& snap) { return snap.requests.size() == 3; }));
    EXPECT_EQ(Read(s, 0, Quiet), "");
    Send(s, "*s?\n*s?\n");
    const std::string replies = Read(s, 2, Patience);
    const std::size_t first = replies.find('\n') + 1;
    EXPECT_EQ(replies.substr(0, first), site_.StatusMessage(dev_));
    EXPECT_EQ(replies.substr(first), site_.StatusMessage(dev_));
    EXPECT_EQ(site_.Snapshot(dev_).statusQueries, 2);
}

TEST(DevsimConfirmations, CanBeSwitchedOffAndOnAgain) {
    devsim::Site site(devsim::SiteOptions{"", 60003});
    devsim::DeviceConfig c;
    c.address = "127.0.1.60";
    c.confirmCommands = false;
    const int dev = site.AddDevice(c);
    ASSERT_GE(dev, 0) << site.LastError();
    ASSERT_TRUE(site.Start());
    const Socket s = Connect("127.0.1.60");
    Send(s, "*p0\n*m=01\n");
    ASSERT_TRUE(site.WaitFor(dev, [](const auto& snap) { return snap.requests.size() == 2; }, Patience));
    EXPECT_EQ(Read(s, 0, Quiet), "");
    // Status queries are answered all the same.
    EXPECT_EQ(Query(s), site.StatusMessage(dev));

    site.SetConfirmCommands(dev, true);
    Send(s, "*p1\n");
    const std::string confirmation = Read(s, 1, Patience);
    EXPECT_EQ(confirmation, site.StatusMessage(dev));
    EXPECT_EQ(ParseStatus(confirmation).status.Mode, 1) << confirmation;
    site.SetConfirmCommands(dev, false);
    Send(s, "*p0\n");
    ASSERT_TRUE(site.WaitFor(
        dev, [](const auto& snap) { return snap.modeRequests == 3; }, Patience));
    EXPECT_EQ(Read(s, 0, Quiet), "");
}

TEST_F(DevsimConnection, NewConnectionReplacesTheOld) {
    const Socket first = Connect(DeviceAddress);
    ASSERT_TRUE(Until([](const auto& snap) { return snap.connections == 1 && snap.connected; }));
    const Socket second = Connect(DeviceAddress);
    ASSERT_TRUE(Until([](const auto& snap) { return snap.connections == 2; }));
    EXPECT_EQ(ReadOnce(first, Patience), 0) << "the first connection ends with EOF";
    EXPECT_TRUE(ParseStatus(Query(second)).ok);
    EXPECT_TRUE(site_.Snapshot(dev_).connected);
}

TEST_F(DevsimConnection, ClosingIsSeenByThePeer) {
    struct Case {
        const char* name;
        void (devsim::Site::*close)(int);
        long expected;  // what the next read gives
    };
    const Case cases[] = {{"drop", &devsim::Site::DropConnection, 0},
                          {"reset", &devsim::Site::ResetConnection, -ECONNRESET}};
    for (const Case& c : cases) {
        const Socket s = Connect(DeviceAddress);
        ASSERT_TRUE(Until([](const auto& snap) { return snap.connected; })) << c.name;
        (site_.*c.close)(dev_);
        EXPECT_FALSE(site_.Snapshot(dev_).connected) << c.name;
        EXPECT_EQ(ReadOnce(s, Patience), c.expected) << c.name;
    }
    EXPECT_TRUE(ParseStatus(Query(Connect(DeviceAddress))).ok) << "still serving";
}

TEST_F(DevsimConnection, RefusedWhileAskedAndServedAgainAfter) {
    const Socket kept = Connect(DeviceAddress);
    // Accepted first: closing a listener also drops what is still waiting in its backlog.
    ASSERT_TRUE(Until([](const auto& snap) { return snap.connected; }));
    site_.SetRefuseConnections(dev_, true);
    int error = 0;
    EXPECT_LT(Connect(DeviceAddress, 60002, &error).Get(), 0);
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_TRUE(ParseStatus(Query(kept)).ok) << "an open connection survives";
    site_.SetRefuseConnections(dev_, false);
    const Socket again = Connect(DeviceAddress, 60002, &error);
    ASSERT_GE(again.Get(), 0) << std::system_category().message(error);
    EXPECT_TRUE(ParseStatus(Query(again)).ok);
}

TEST_F(DevsimConnection, HangingUpClosesEachNewConnectionAndKeepsTheStandingOne) {
    const Socket kept = Connect(DeviceAddress);
    ASSERT_TRUE(Until([](const auto& snap) { return snap.connected; }));
    site_.SetHangUp(dev_, true);
    for (int i = 0; i < 3; ++i) {
        const Socket s = Connect(DeviceAddress);
        ASSERT_GE(s.Get(), 0) << i;
        EXPECT_EQ(ReadOnce(s, Patience), 0) << "closed at once, " << i;
    }
    EXPECT_EQ(site_.Snapshot(dev_).connections, 4);
    EXPECT_TRUE(ParseStatus(Query(kept)).ok) << "the standing connection survives";
    site_.SetHangUp(dev_, false);
    EXPECT_TRUE(ParseStatus(Query(Connect(DeviceAddress))).ok);
}

TEST(DevsimTcp, DiscoveryOnlyDeviceHasNoListener) {
    devsim::Site site({"", 60003});
    const int dev = site.AddDevice(Offline());
    ASSERT_TRUE(site.Start());
    site.SetRefuseConnections(dev, false);  // must not open one either
    int error = 0;
    EXPECT_LT(Connect(DeviceAddress, 60002, &error).Get(), 0);
    EXPECT_EQ(error, ECONNREFUSED);
}

TEST_F(DevsimConnection, SplitReplyArrivesInPieces) {
    site_.SetSplitReply(dev_, 3, 80);
    const Socket s = Connect(DeviceAddress);
    const auto start = Clock::now();
    Send(s, "*s?\n");
    std::string first;
    ASSERT_GT(ReadOnce(s, Patience, &first), 0);
    const std::string whole = first + Read(s, 1, Patience);
    EXPECT_EQ(whole, site_.StatusMessage(dev_));
    EXPECT_LT(first.size(), whole.size() / 2) << "the first piece came alone";
    EXPECT_GE(Clock::now() - start, 150ms) << "two gaps of 80 ms";
}

TEST_F(DevsimConnection, DelayedReplyWaits) {
    site_.SetReplyDelay(dev_, 250);
    const Socket s = Connect(DeviceAddress);
    const auto start = Clock::now();
    Send(s, "*s?\n");
    EXPECT_EQ(Read(s, 0, Quiet), "");
    EXPECT_EQ(Read(s, 1, Patience), site_.StatusMessage(dev_));
    EXPECT_GE(Clock::now() - start, 250ms);

    // A quick answer must not overtake a slow one that was asked for first.
    Send(s, "*s?\n");
    ASSERT_TRUE(Until([](const auto& snap) { return snap.statusQueries == 2; }));
    site_.SetReplyDelay(dev_, 0);
    Send(s, "*p0\n*s?\n");
    const std::string replies = Read(s, 2, Patience);
    const std::size_t cut = replies.find('\n') + 1;
    EXPECT_EQ(ParseStatus(replies.substr(0, cut)).status.Mode, 1) << replies;
    EXPECT_EQ(ParseStatus(replies.substr(cut)).status.Mode, 0) << replies;
}

TEST_F(DevsimConnection, DoubleReplyComesInOneWrite) {
    site_.SetDoubleReply(dev_, true);
    const Socket s = Connect(DeviceAddress);
    Send(s, "*s?\n");
    std::string data;
    ASSERT_GT(ReadOnce(s, Patience, &data), 0);
    EXPECT_EQ(data, site_.StatusMessage(dev_) + site_.StatusMessage(dev_));
    EXPECT_EQ(site_.Snapshot(dev_).statusQueries, 1);
}

TEST_F(DevsimConnection, SilentDeviceReadsButNeverAnswers) {
    site_.SetSilent(dev_, true);
    const Socket s = Connect(DeviceAddress);
    Send(s, "*s?\n");
    ASSERT_TRUE(Until([](const auto& snap) { return snap.statusQueries == 1; }));
    EXPECT_EQ(Read(s, 0, Quiet), "");
    site_.SetSilent(dev_, false);
    EXPECT_EQ(Query(s), site_.StatusMessage(dev_)) << "only the new query is answered";
    EXPECT_EQ(Read(s, 0, Quiet), "");
}

TEST_F(DevsimConnection, ScriptedRepliesReplaceOneAnswer) {
    const Socket s = Connect(DeviceAddress);
    site_.ScriptNextReply(dev_, {"*M03R1234", "garbage\n"}, 60);
    const auto start = Clock::now();
    EXPECT_EQ(Query(s), "*M03R1234garbage\n");
    EXPECT_GE(Clock::now() - start, 60ms);
    EXPECT_EQ(Query(s), site_.StatusMessage(dev_)) << "normal replies resume";

    site_.PrefixNextReply(dev_, "#junk#\r\n");
    Send(s, "*s?\n");
    EXPECT_EQ(Read(s, 2, Patience), "#junk#\r\n" + site_.StatusMessage(dev_));

    site_.SendRaw(dev_, "*unasked\n");
    EXPECT_EQ(Read(s, 1, Patience), "*unasked\n");
}

TEST_F(DevsimConnection, SlowReaderGetsEveryByteInOrder) {
    Socket s = Connect(DeviceAddress);
    ASSERT_TRUE(Until([](const auto& snap) { return snap.connected; }));
    std::string big;
    for (int i = 0; big.size() < 4'000'000; ++i) big += std::to_string(i) + ',';
    site_.SendRaw(dev_, big);  // far more than the socket buffers take at once
    Send(s, "*s?\n");
    const std::string data = Read(s, 1, 5000ms);
    // Compared as a whole but reported by size: the text itself is far too long to print.
    EXPECT_TRUE(data == big + site_.StatusMessage(dev_))
        << "got " << data.size() << " bytes, want " << big.size() << " then the reply";
}

TEST_F(DevsimConnection, SurvivesPeersThatMisbehave) {
    {
        Socket s = Connect(DeviceAddress);
        ASSERT_TRUE(Until([](const auto& snap) { return snap.connected; }));
        site_.SendRaw(dev_, std::string(8'000'000, 'x'));  // left pending: nobody reads
        const linger abort{1, 0};
        ::setsockopt(s.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        s.Close();  // vanishes with megabytes still queued for it
    }
    ASSERT_TRUE(Until([](const auto& snap) { return !snap.connected; }));

    const Socket s = Connect(DeviceAddress);
    Send(s, std::string(5000, 'y'));  // a request that never ends is dropped
    Send(s, "\n*s?\n");
    EXPECT_EQ(Read(s, 1, Patience), site_.StatusMessage(dev_));
    EXPECT_EQ(site_.Snapshot(dev_).requests.back(), "*s?\n");
}

// ---------------------------------------------------------------------------------------
// Discovery

class DevsimDiscovery : public ::testing::Test {
protected:
    static constexpr std::uint16_t Port = 61003;
    static constexpr const char* Hub = "127.0.1.254";

    void SetUp() override {
        ASSERT_TRUE(site_.DiscoveryListening()) << site_.LastError();
        struct Row {
            const char* address;
            const char* model;
            const char* serial;
            bool tcp, answers;
        };
        for (const Row& d : {Row{"127.0.1.2", "00", "00000002", true, true},
                             Row{"127.0.1.3", "02", "00001234", false, true},
                             Row{"127.0.1.4", "03", "00000004", true, false}}) {
            devsim::DeviceConfig c;
            c.address = d.address;
            c.modelText = d.model;
            c.serial = d.serial;
            c.udpPort = Port;
            c.acceptTcp = d.tcp;
            c.answerDiscovery = d.answers;
            ASSERT_GE(site_.AddDevice(c), 0) << site_.LastError();
        }
        ASSERT_TRUE(site_.Start());
        monitor_ = Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in self = Address("127.0.1.1", 0);
        ASSERT_EQ(::bind(monitor_.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self), 0);
    }

    void SendTo(const std::string& ip, const std::string& bytes) {
        const sockaddr_in to = Address(ip, Port);
        ASSERT_EQ(::sendto(monitor_.Get(), bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Datagrams by "address:port" of their sender, gathered for the whole window.
    std::map<std::string, std::string> Replies(std::chrono::milliseconds window) {
        std::map<std::string, std::string> replies;
        const auto deadline = Clock::now() + window;
        for (auto left = window; left > 0ms;
             left =
                 std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())) {
            pollfd p{monitor_.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[512];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(monitor_.Get(), buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) break;
            char ip[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            const std::string sender = std::string(ip) + ':' + std::to_string(ntohs(from.sin_port));
            replies[sender] += std::string(buffer, static_cast<std::size_t>(n));
        }
        return replies;
    }

    devsim::Site site_{devsim::SiteOptions{Hub, Port}};
    Socket monitor_;
};

TEST_F(DevsimDiscovery, EachDeviceAnswersFromItsOwnAddress) {
    SendTo(Hub, "VELKAN\n");
    const auto replies = Replies(500ms);
    const std::map<std::string, std::string> expected = {
        {"127.0.1.2:61003", "VELKAN:M00R00000002\n"},
        {"127.0.1.3:61003", "VELKAN:M02R00001234\n"},
    };
    EXPECT_EQ(replies, expected);
    struct Parse {
        std::uint8_t addr[4];
        std::uint8_t model;
        const char* serial;
        const char* ip;
    };
    const Parse parses[] = {{{127, 0, 1, 2}, ModelRV10, "00000002", "127.0.1.2"},
                            {{127, 0, 1, 3}, ModelRV12, "00001234", "127.0.1.3"}};
    for (const Parse& p : parses) {
        const std::string& bytes = replies.count(std::string(p.ip) + ":61003")
                                       ? replies.at(std::string(p.ip) + ":61003")
                                       : std::string();
        CMca codec;
        CMca::BcastData_Type data;
        ASSERT_TRUE(codec.IsDiscoveryReply(bytes.data(), static_cast<int>(bytes.size()))) << p.ip;
        ASSERT_TRUE(
            codec.ParseDiscoveryReply(bytes.data(), static_cast<int>(bytes.size()), p.addr, &data));
        EXPECT_EQ(data.IpAddress, p.ip);
        EXPECT_EQ(data.ModelCode, p.model);
        EXPECT_EQ(data.Serial, p.serial);
    }
    EXPECT_EQ(site_.Snapshot(0).discoveryRequests, 1);
    EXPECT_EQ(site_.Snapshot(1).discoveryRequests, 1);
    EXPECT_EQ(site_.Snapshot(2).discoveryRequests, 0);
    int error = 0;
    EXPECT_LT(Connect("127.0.1.3", 60002, &error).Get(), 0) << "discovery only";
    EXPECT_EQ(error, ECONNREFUSED);
}

TEST_F(DevsimDiscovery, IgnoresAnythingButTheRequest) {
    const std::vector<std::string> foreign = {
        "VELKAN", "VELKAN\nX", "velkan\n", "VELKAN:M00R00000002\n", std::string("VELKAN\n\0", 8)};
    for (const std::string& bytes : foreign) {
        SendTo(Hub, bytes);
    }
    EXPECT_TRUE(Replies(Quiet).empty());
    SendTo("127.0.1.3", "VELKAN\n");  // asked directly, only that device answers
    const std::map<std::string, std::string> expected = {
        {"127.0.1.3:61003", "VELKAN:M02R00001234\n"}};
    EXPECT_EQ(Replies(300ms), expected);
}

// ---------------------------------------------------------------------------------------
// The avlo-devsim program

class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int in[2];
        int out[2];
        // Standard input is a socket so that writing to a program that died cannot raise
        // SIGPIPE here (send() takes MSG_NOSIGNAL, write() to a pipe has no such flag).
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        input_ = Socket(in[0]);
        output_ = Socket(out[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        args.insert(args.begin(), AVLO_DEVSIM_BIN);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, AVLO_DEVSIM_BIN, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[1]);
        ::close(out[1]);
    }
    ~Program() {
        if (pid_ > 0 && Wait(0ms) == -1) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Type(const std::string& line) { Send(input_, line); }
    void CloseInput() { input_.Close(); }

    // Reads the output until it holds text; returns all of it read so far.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds limit = Patience) {
        const auto deadline = Clock::now() + limit;
        while (outputText_.find(text) == std::string::npos && Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (ReadOnce(output_, left, &outputText_) <= 0) break;
        }
        return outputText_;
    }
    // The exit code, 128 + signal when killed, or -1 while still running after limit.
    int Wait(std::chrono::milliseconds limit) {
        if (exit_ != -1) return exit_;
        const auto deadline = Clock::now() + limit;
        do {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exit_;
            }
            std::this_thread::sleep_for(10ms);
        } while (Clock::now() < deadline);
        return -1;
    }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
    Socket input_;
    Socket output_;
    std::string outputText_;
};

TEST(DevsimProgram, ServesCommandsQueriesAndDiscovery) {
    Program program({"--device", "127.0.1.40:01:00000040", "--duration", "5", "--discovery-listen",
                     "127.0.1.254", "--udp-port", "61040"});
    ASSERT_TRUE(program.Running());
    ASSERT_NE(program.ReadUntil("[0] 127.0.1.40").find("00000040"), std::string::npos);

    program.Type("fault 0 fan 2 on\nlist\n");
    EXPECT_NE(program.ReadUntil("status=").find("F1111101"), std::string::npos);
    const Socket s = Connect("127.0.1.40");
    const Parsed p = ParseStatus(Query(s));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.model, ModelRV11);
    EXPECT_EQ(p.serial, "00000040");
    EXPECT_EQ(Flags(p.status.FanOk, 7), (std::vector<std::uint8_t>{1, 0, 1, 1, 1, 1, 1}));
    EXPECT_NE(program.ReadUntil("request *s?").find("[0] request *s?\\n"), std::string::npos);

    Socket monitor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in self = Address("127.0.1.1", 0);
    ASSERT_EQ(::bind(monitor.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self), 0);
    const sockaddr_in hub = Address("127.0.1.254", 61040);
    ::sendto(monitor.Get(), "VELKAN\n", 7, 0, reinterpret_cast<const sockaddr*>(&hub), sizeof hub);
    std::string reply;
    ReadOnce(monitor, Patience, &reply);
    EXPECT_EQ(reply, "VELKAN:M01R00000040\n");

    program.Type("fault 0 smoke 2 on\n");
    EXPECT_NE(program.ReadUntil("error:").find("error:"), std::string::npos);
    program.Type("quit\n");
    EXPECT_EQ(program.Wait(Patience), 0);
}

TEST(DevsimProgram, KeepsRunningAfterInputEndsAndStopsOnSignal) {
    Program program(
        {"--device", "127.0.1.41:00:00000041", "--quiet", "--discovery-listen", "none"});
    program.Type("list\n");
    ASSERT_NE(program.ReadUntil("00000041").find("00000041"), std::string::npos);
    program.CloseInput();
    EXPECT_EQ(program.Wait(300ms), -1) << "still running";
    EXPECT_TRUE(ParseStatus(Query(Connect("127.0.1.41"))).ok);
    ::kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.Wait(Patience), 0);
}

// The switches for rehearsing a device that does not answer commands and one that answers
// late, for one device or all of them, and the command that changes the first at run time.
TEST(DevsimProgram, CommandAnswersOffAndLateAnswersFromTheCommandLine) {
    Program program({"--device", "127.0.1.44:03:00000044", "--device", "127.0.1.45:03:00000045",
                     "--no-confirm", "all", "--reply-delay", "1:400", "--discovery-listen", "none",
                     "--duration", "10"});
    ASSERT_NE(program.ReadUntil("[1] 127.0.1.45").find("00000045"), std::string::npos);
    const Socket prompt = Connect("127.0.1.44");
    const Socket late = Connect("127.0.1.45");
    Send(prompt, "*p0\n");
    Send(late, "*m=01\n");
    program.ReadUntil("[1] request *m=01");
    EXPECT_EQ(Read(prompt, 0, Quiet), "");
    EXPECT_EQ(Read(late, 0, 500ms), "");
    EXPECT_TRUE(ParseStatus(Query(prompt)).ok);
    auto start = Clock::now();
    Send(late, "*s?\n");
    EXPECT_EQ(Read(late, 0, 300ms), "") << "answered before its delay";
    EXPECT_TRUE(ParseStatus(Read(late, 1, Patience)).ok);
    EXPECT_GE(Clock::now() - start, 400ms);

    program.Type("confirm 1 on\n");
    ASSERT_NE(program.ReadUntil("\nok\n").find("\nok\n"), std::string::npos);
    start = Clock::now();
    Send(late, "*p0\n");
    const Parsed confirmed = ParseStatus(Read(late, 1, Patience));
    EXPECT_TRUE(confirmed.ok);
    EXPECT_EQ(confirmed.status.Mode, 0);
    EXPECT_GE(Clock::now() - start, 400ms);
    program.Type("quit\n");
    EXPECT_EQ(program.Wait(Patience), 0);
}

// A serial number can hold any byte, spelled "\xNN" on the command line: the device sends the
// bytes themselves, and the simulator's own printout spells them again instead of letting
// them drive the terminal it runs in.
TEST(DevsimProgram, SerialSpelledWithEscapesIsSentAsItsBytesAndShownSpelled) {
    struct Case {
        const char* address;
        const char* spelled;  // as given to --device
        std::string bytes;    // as the status must carry it
        const char* shown;    // in the start-up lines and "list"
    };
    const Case cases[] = {
        {"127.0.1.46", R"(\x1b]0;pwn\x07)", "\x1b]0;pwn\x07", R"(\x1B]0;pwn\x07)"},
        {"127.0.1.47", R"(\x1B[2J\x00o\x7Fk)", std::string("\x1b[2J\0o\x7fk", 8),
         R"(\x1B[2J\x00o\x7Fk)"},
        {"127.0.1.48", R"(1234\\567)", "1234\\567", R"(1234\567)"},
        {"127.0.1.49", "00000049", "00000049", "00000049"},
    };
    std::vector<std::string> args{"--discovery-listen", "none", "--duration", "10"};
    for (const Case& c : cases) {
        args.push_back("--device");
        args.push_back(std::string(c.address) + ":02:" + c.spelled);
    }
    Program program(args);
    ASSERT_NE(program.ReadUntil("[3] 127.0.1.49").find("[3] 127.0.1.49"), std::string::npos);
    program.Type("list\n");
    const std::string output = program.ReadUntil("3 127.0.1.49 model=02 serial=00000049");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spelled);
        const Parsed p = ParseStatus(Query(Connect(c.address)));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.serial, c.bytes);
        EXPECT_NE(output.find(std::string(c.address) + " model 02 serial " + c.shown + "\n"),
                  std::string::npos)
            << devsim::ShownBytes(output, "\n");
        EXPECT_NE(output.find(std::string(c.address) + " model=02 serial=" + c.shown + " "),
                  std::string::npos)
            << devsim::ShownBytes(output, "\n");
    }
    const std::string raw("\x1b\x07\x00\x7f", 4);
    EXPECT_EQ(output.find_first_of(raw), std::string::npos) << devsim::ShownBytes(output, "\n");
    program.Type("quit\n");
    EXPECT_EQ(program.Wait(Patience), 0);
}

TEST(DevsimProgram, DurationEndsTheRun) {
    const auto start = Clock::now();
    Program program(
        {"--device", "127.0.1.42:03:00000042", "--duration", "1", "--discovery-listen", "none"});
    EXPECT_EQ(program.Wait(3000ms), 0);
    EXPECT_GE(Clock::now() - start, 900ms);
}

TEST(DevsimProgram, HelpNamesEveryOptionAndCommand) {
    Program program({"--help"});
    const std::string help = program.ReadUntil("quit");
    EXPECT_EQ(program.Wait(Patience), 0);
    for (const char* word :
         {"--device",       "--discovery-listen", "--tcp-port",  "--udp-port",   "--discovery-only",
          "--fault",        "--supply-fault",     "--duration",  "--quiet",      "--help",
          "--version",      "\n  list ",          "fault INDEX", "supply INDEX", "clear INDEX",
          "mode INDEX",     "mask INDEX",         "drop INDEX",  "reset INDEX",  "refuse INDEX",
          "silent INDEX",   "delay INDEX",        "split INDEX", "double INDEX", "garbage INDEX",
          "overlong INDEX", "\n  help ",          "\n  quit ",   "--no-confirm", "--reply-delay",
          "confirm INDEX",  "hangup INDEX"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(DevsimProgram, BadArgumentsFailWithoutStarting) {
    const std::vector<std::vector<std::string>> usageErrors = {
        {},
        {"--bogus"},
        {"--device", "127.0.1.43:01:SHORT"},
        // A serial is eight bytes once its escapes are read; a stray backslash is a slip.
        {"--device", R"(127.0.1.43:01:0000\x30)"},
        {"--device", R"(127.0.1.43:01:\x30\x30\x30\x30\x30\x30\x30\x30\x30)"},
        {"--device", R"(127.0.1.43:01:0000043\x4)"},
        {"--device", R"(127.0.1.43:01:0000043\)"},
        {"--device", R"(127.0.1.43:01:\q000043)"},
        {"--device", R"(127.0.1.43:01:\xG00000)"},
        {"--device", "127.0.1.43:01:00000043", "--fault", "1:fan:2"},
        {"--device", "127.0.1.43:01:00000043", "--fault", "0:smoke:2"},
        {"--device", "127.0.1.43:01:00000043", "--supply-fault", "0:4"},
        {"--device", "127.0.1.43:01:00000043", "--duration", "-1"},
        {"--device", "127.0.1.43:01:00000043", "--tcp-port"},
        {"--device", "127.0.1.43:01:00000043", "--no-confirm", "1"},
        {"--device", "127.0.1.43:01:00000043", "--no-confirm", "some"},
        {"--device", "127.0.1.43:01:00000043", "--reply-delay", "1500"},
        {"--device", "127.0.1.43:01:00000043", "--reply-delay", "1:1500"},
        {"--device", "127.0.1.43:01:00000043", "--reply-delay", "0:-5"},
    };
    for (const auto& args : usageErrors) {
        Program program(args);
        EXPECT_EQ(program.Wait(Patience), 2) << (args.empty() ? "" : args.back());
    }
    Program clash({"--device", "127.0.1.43:01:00000043", "--device", "127.0.1.43:02:00000044",
                   "--discovery-listen", "none"});
    EXPECT_EQ(clash.Wait(Patience), 1);
    EXPECT_NE(clash.ReadUntil("127.0.1.43:60002").find("127.0.1.43:60002"), std::string::npos);
}

}  // namespace
