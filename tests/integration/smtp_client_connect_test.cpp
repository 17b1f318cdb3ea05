// Making the connection: name resolution, refusal, the connect limit, and the failures that
// come from this machine rather than from the server.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "integration/SmtpClientFixture.h"

namespace {
std::atomic<bool> holdConnectUntilData{false};
std::atomic<int> connectsHeldUntilData{0};
}  // namespace

// Stands in for the system's connect in this whole test program. Unarmed it is the system
// call itself. Armed by the greeting test, it returns only once the peer's first bytes are
// waiting on the socket (3 s at most): on loopback the handshake is over within the connect
// call, but the peer's accept and greeting would still race with the client's own check of
// the connection, so the greeting could not be made to come first without this.
extern "C" int connect(int fd, const sockaddr* addr, socklen_t len) {
    const int rc = static_cast<int>(syscall(SYS_connect, fd, addr, len));
    if (!holdConnectUntilData.load()) return rc;
    const int saved = errno;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) > 0 && (p.revents & POLLIN)) ++connectsHeldUntilData;
    errno = saved;
    return rc;
}

namespace {

using smtptest::Replies;
using Clock = std::chrono::steady_clock;

void Configure(CSmtpClient& client, const std::string& server, const std::string& port) {
    EXPECT_EQ(client.SetHostNameSource(smtptest::TestHostName), SmtpOk);
    EXPECT_EQ(client.SetServer(server, port), SmtpOk);
    EXPECT_EQ(client.SetSender(smtptest::Sender, smtptest::User), SmtpOk);
    EXPECT_EQ(client.SetRecipients(smtptest::Recipients[0], "", ""), SmtpOk);
}

// Delivers to `server`:`port` from a fresh client; `ms` receives how long it took.
SmtpResult DeliverTo(const std::string& server, const std::string& port, long long& ms) {
    CSmtpClient client(0, nullptr, 0);
    Configure(client, server, port);
    const auto start = Clock::now();
    const SmtpResult result = client.Send(true);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return result;
}

TEST(SmtpConnectTest, AConnectThatNeverCompletesFailsAfterTheConnectLimit) {
    const std::string address = smtptest::NextPeerAddress();
    UnacceptingListener listener(address);
    ASSERT_TRUE(listener.Ready());
    long long ms = 0;
    EXPECT_EQ(DeliverTo(address, listener.PortText(), ms), SmtpConnectFailed);
    // The limit is 5 s, whatever the constant says.
    EXPECT_GE(ms, 5000 - 50);
    EXPECT_LT(ms, 5000 + 1500);
}

TEST(SmtpConnectTest, ARefusedConnectionFailsAtOnce) {
    // A bound socket that does not listen holds the port: connects to it are refused.
    const std::string address = smtptest::NextPeerAddress();
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    socklen_t size = sizeof sa;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &size), 0);
    long long ms = 0;
    EXPECT_EQ(DeliverTo(address, std::to_string(ntohs(sa.sin_port)), ms), SmtpConnectFailed);
    EXPECT_LT(ms, 2000);
    close(holder);
}

TEST(SmtpConnectTest, AHostNameThatDoesNotResolveIsNotFound) {
    // A label longer than 63 characters cannot go into a DNS query, so the resolver fails
    // without sending one: nothing leaves this machine.
    long long ms = 0;
    EXPECT_EQ(DeliverTo(std::string(64, 'n') + ".invalid", "25", ms), SmtpHostNotFound);
}

TEST(SmtpConnectTest, AHostNameIsResolved) {
    // "localhost" comes from the hosts file, without a name server.
    ScriptedSmtpPeer peer("127.0.0.1");
    ASSERT_TRUE(peer.Listening());
    const char* const sent = "HELO RSET MAIL R1 DATA MSG QUIT";
    peer.Serve(smtptest::BuildScript(Replies{}, sent));
    long long ms = 0;
    EXPECT_EQ(DeliverTo("localhost", peer.PortText(), ms), SmtpOk);
    ASSERT_TRUE(peer.WaitFinished(std::chrono::seconds(15)));
    EXPECT_EQ(peer.Get(0).lines, smtptest::ExpectedLines(sent));
}

// A server that greets the moment it accepts: the greeting is already waiting on the socket
// when the client learns that its connect has completed, and must be read as the first reply,
// not lost (a client that cleared what came with the connection would wait for it in vain).
TEST(SmtpGreetingTest, AGreetingSentTheMomentTheConnectionIsMadeIsRead) {
    ScriptedSmtpPeer peer(smtptest::NextPeerAddress());
    ASSERT_TRUE(peer.Listening());
    const char* const sent = "HELO RSET MAIL R1 DATA MSG QUIT";
    peer.Serve(smtptest::BuildScript(Replies{}, sent));
    connectsHeldUntilData = 0;
    holdConnectUntilData = true;
    long long ms = 0;
    const SmtpResult result = DeliverTo(peer.Address(), peer.PortText(), ms);
    holdConnectUntilData = false;
    ASSERT_EQ(connectsHeldUntilData.load(), 1)
        << "the greeting did not come before the connect completed";
    EXPECT_EQ(result, SmtpOk);
    EXPECT_LT(ms, 3000) << "the greeting was lost and the client waited for it";
    ASSERT_TRUE(peer.WaitFinished(std::chrono::seconds(15)));
    EXPECT_EQ(peer.Get(0).lines, smtptest::ExpectedLines(sent));
    EXPECT_EQ(peer.Failures(), std::vector<std::string>{});
}

bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// Whether this process may make a network namespace (a child tries, so that this one
// stays where it is).
bool CanMakeNetworkNamespace() {
    const pid_t pid = fork();
    if (pid == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

class SmtpLocalFailureTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Runs in the child of a death test: uses up every descriptor the process may have, then
// delivers and exits with the outcome.
[[noreturn]] void DeliverWithoutDescriptors() {
    CSmtpClient client(0, nullptr, 0);
    Configure(client, "127.0.12.1", "25");
    const rlimit limit{64, 64};
    setrlimit(RLIMIT_NOFILE, &limit);
    for (int i = 0; i < 64 && dup(STDERR_FILENO) >= 0; ++i) {
    }
    std::_Exit(client.Send(true));
}

[[noreturn]] void DeliverWithoutNetwork() {
    if (unshare(CLONE_NEWNET) != 0) std::_Exit(200);
    CSmtpClient client(0, nullptr, 0);
    Configure(client, "127.0.12.1", "25");
    std::_Exit(client.Send(true));
}

TEST_F(SmtpLocalFailureTest, NoSocketWhenTheProcessHasNoDescriptorLeft) {
    EXPECT_EXIT(DeliverWithoutDescriptors(), testing::ExitedWithCode(SmtpNoSocket), "");
}

TEST_F(SmtpLocalFailureTest, NetworkDownWhenThereIsNoRouteAtAll) {
    if (!CanMakeNetworkNamespace()) {
        if (UnderCi()) FAIL() << "CI runs as root and must be able to make a network namespace";
        GTEST_SKIP() << "cannot make a network namespace (needs root)";
    }
    // In a new network namespace even the loopback interface is down: no route anywhere,
    // and no packet can leave.
    EXPECT_EXIT(DeliverWithoutNetwork(), testing::ExitedWithCode(SmtpNetworkDown), "");
}

// A name server that takes queries and never answers, in a network namespace of the test's
// own (only its loopback, so no query can leave this machine whatever happens) with a
// resolver configuration of its own bound over /etc/resolv.conf in a mount namespace.
class SilentNameServer {
public:
    static constexpr const char* Address = "127.0.0.83";
    // Long enough that an owner who waits for the look-up is plainly seen to wait.
    static constexpr int ResolverTimeoutS = 8;

    // Empty when the stage is set, else what went wrong.
    std::string SetUp() {
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return "unshare: " + Errno();
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "mount private: " + Errno();
        }
        if (!BringLoopbackUp()) return "loopback up: " + Errno();
        char conf[] = "/tmp/avlo-resolv-XXXXXX";
        const int fd = mkstemp(conf);
        if (fd < 0) return "mkstemp: " + Errno();
        const std::string text = std::string("nameserver ") + Address +
                                 "\noptions timeout:" + std::to_string(ResolverTimeoutS) +
                                 " attempts:1\n";
        const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
        close(fd);
        const bool bound =
            written && mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
        const std::string error = bound ? "" : "bind /etc/resolv.conf: " + Errno();
        unlink(conf);  // the bind keeps the file alive for this namespace
        if (!bound) return error;
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        inet_pton(AF_INET, Address, &sa.sin_addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            return "bind the name server: " + Errno();
        }
        return {};
    }

    // Waits for the resolver's first query, without answering it.
    bool QueryArrives(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    // Answers every query that comes for `ms` with "no such name", so that look-ups left
    // behind end while the process still runs and touch what they still hold.
    void AnswerNoSuchName(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            unsigned char query[512];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n =
                recvfrom(fd_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 12) continue;
            query[2] |= 0x80;                                              // a response
            query[3] = static_cast<unsigned char>((query[3] & 0xF0) | 3);  // NXDOMAIN
            sendto(fd_, query, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                   size);
        }
    }

private:
    static std::string Errno() { return std::strerror(errno); }
    static bool BringLoopbackUp() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        if (fd >= 0) close(fd);
        return up;
    }

    int fd_ = -1;
};

enum class LookupEnd { OwnerReleasesClient, StopEndsSynchronousSend };

std::string LookupEndName(LookupEnd end) {
    return end == LookupEnd::OwnerReleasesClient ? "OwnerReleasesClient"
                                                 : "StopEndsSynchronousSend";
}

void PrintTo(LookupEnd end, std::ostream* os) {
    *os << LookupEndName(end);
}

// Runs in the child of a death test: starts a delivery to a name only the silent server
// could resolve, ends it the chosen way while the look-up hangs, and exits with 0 when that
// took under a second.
[[noreturn]] void EndDeliveryWhileTheNameServerIsSilent(LookupEnd end) {
    SilentNameServer dns;
    const std::string problem = dns.SetUp();
    if (!problem.empty()) {
        std::fprintf(stderr, "cannot set the stage: %s\n", problem.c_str());
        std::_Exit(2);
    }
    auto client = std::make_unique<CSmtpClient>(0x8300, nullptr, 1);
    Configure(*client, "mail.site.test", "25");
    SmtpResult result = SmtpOk;
    std::thread sender;
    if (end == LookupEnd::OwnerReleasesClient) {
        result = client->Send(false);
    } else {
        sender = std::thread([&] { result = client->Send(true); });
    }
    if (!dns.QueryArrives(3000)) {
        std::fprintf(stderr, "no query reached the silent name server\n");
        std::_Exit(3);
    }
    const auto start = Clock::now();
    if (end == LookupEnd::OwnerReleasesClient) {
        client.reset();
    } else {
        client->Stop();
        sender.join();
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    dns.AnswerNoSuchName(1000);
    const SmtpResult expected = end == LookupEnd::OwnerReleasesClient ? SmtpOk : SmtpStopped;
    std::fprintf(stderr, "ended after %lld ms with %s\n", static_cast<long long>(ms),
                 SmtpResultName(result));
    std::_Exit(ms < 1000 && result == expected ? 0 : 1);
}

class SmtpSilentNameServerTest : public SmtpLocalFailureTest,
                                 public testing::WithParamInterface<LookupEnd> {};

TEST_P(SmtpSilentNameServerTest, EndsTheDeliveryAtOnceWithoutWaitingForTheLookUp) {
    if (!CanMakeNetworkNamespace()) {
        if (UnderCi()) FAIL() << "CI runs as root and must be able to make a network namespace";
        GTEST_SKIP() << "cannot make a network namespace (needs root)";
    }
    EXPECT_EXIT(EndDeliveryWhileTheNameServerIsSilent(GetParam()), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Ends, SmtpSilentNameServerTest,
                         testing::Values(LookupEnd::OwnerReleasesClient,
                                         LookupEnd::StopEndsSynchronousSend),
                         [](const auto& info) { return LookupEndName(info.param); });

}  // namespace
