// Clients that hold connections without finishing a request: many idle connections, headers
// or bodies sent a byte at a time, more connections than the cap. A normal request must still
// be answered promptly, and the abusers must be dropped by the time limits (set short here).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "WebServerFixture.h"
#include "WebTestClient.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Trickler {
    std::unique_ptr<TlsClient> client = std::make_unique<TlsClient>();
    int bytesSent = 0;
    bool dropped = false;
    Clock::duration droppedAfter{};
};

// Sends one byte of text per period to every trickler that is still connected, for at most
// `rounds` periods; notes when the server dropped each one.
void Trickle(std::vector<Trickler>& tricklers, const std::string& text, Clock::time_point since,
             std::chrono::milliseconds period, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        bool anyLeft = false;
        for (Trickler& t : tricklers) {
            if (t.dropped) continue;
            if (t.client->PeerClosed() ||
                !t.client->Send(
                    text.substr(static_cast<std::size_t>(t.bytesSent) % text.size(), 1))) {
                t.dropped = true;
                t.droppedAfter = Clock::now() - since;
                continue;
            }
            ++t.bytesSent;
            anyLeft = true;
        }
        if (!anyLeft) return;
        std::this_thread::sleep_for(period);
    }
}

bool AllClosed(const std::vector<int>& fds, std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    for (int fd : fds) {
        char byte;
        bool closed = false;
        while (!closed && Clock::now() < deadline) {
            closed = recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
            if (!closed) std::this_thread::sleep_for(20ms);
        }
        if (!closed) return false;
    }
    return true;
}

class FdList {
public:
    ~FdList() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    std::vector<int> fds;
};

class AbuseTest : public WebServerTest {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    // A normal request on a fresh connection: its status and how long it took.
    std::pair<int, Clock::duration> TimedRequest() {
        const auto start = Clock::now();
        const std::string response = HttpsExchange(
            port, certs.certFile, "GET /ok HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
        return {StatusOf(response), Clock::now() - start};
    }
};

}  // namespace

TEST_F(AbuseTest, IdleAndTricklingClientsDoNotHoldUpANormalRequestAndAreDropped) {
    WebLimits limits;
    limits.maxConnections = 400;
    limits.handshakeTime = 2s;
    limits.headerTime = 2s;
    StartServer(limits);

    FdList idle;
    for (int i = 0; i < 300; ++i) idle.fds.push_back(ConnectLoopback(port));
    ASSERT_EQ(std::count(idle.fds.begin(), idle.fds.end(), -1), 0);
    std::vector<Trickler> tricklers(50);
    for (Trickler& t : tricklers) ASSERT_TRUE(t.client->Connect(port, certs.certFile));
    const auto since = Clock::now();

    // One byte a second, as the slowest attack does; the normal request goes out once every
    // trickler has started sending.
    const std::string header = "GET / HTTP/1.1\r\nHost: a\r\nX-Slow: " + std::string(100, 's');
    Trickle(tricklers, header, since, 1000ms, 1);
    const auto [status, took] = TimedRequest();
    EXPECT_EQ(status, 200);
    EXPECT_LT(took, 1s) << "the normal request waited behind the abusers";

    Trickle(tricklers, header, since, 1000ms, 10);
    for (const Trickler& t : tricklers) {
        ASSERT_TRUE(t.dropped) << "a trickler was never dropped";
        EXPECT_GE(t.bytesSent, 2) << "it kept sending until dropped";
        EXPECT_LT(t.droppedAfter, limits.headerTime + 3s);
    }
    EXPECT_TRUE(AllClosed(idle.fds, 5s)) << "idle connections outlived the handshake limit";
}

TEST_F(AbuseTest, ABodySentAByteAtATimeIsDroppedByTheBodyLimit) {
    WebLimits limits;
    limits.bodyTime = 1s;
    StartServer(limits);
    std::vector<Trickler> tricklers(5);
    for (Trickler& t : tricklers) {
        ASSERT_TRUE(t.client->Connect(port, certs.certFile));
        ASSERT_TRUE(t.client->Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n"));
    }
    Trickle(tricklers, std::string(1000, 'b'), Clock::now(), 200ms, 25);
    for (const Trickler& t : tricklers) {
        ASSERT_TRUE(t.dropped);
        EXPECT_GE(t.bytesSent, 3);
        EXPECT_LT(t.droppedAfter, limits.bodyTime + 3s);
    }
}

TEST_F(AbuseTest, ConnectionsBeyondTheCapMakeRoomForANormalRequest) {
    WebLimits limits;
    limits.maxConnections = 64;
    limits.handshakeTime = 60s;  // only the cap may drop them here
    StartServer(limits);
    FdList idle;
    for (int i = 0; i < 300; ++i) idle.fds.push_back(ConnectLoopback(port));
    // The newest connections stay, the oldest were dropped to make room for them.
    EXPECT_TRUE(AllClosed({idle.fds.begin(), idle.fds.begin() + 200}, 5s));
    EXPECT_LE(server->ConnectionCount(), 64u);

    const auto [status, took] = TimedRequest();
    EXPECT_EQ(status, 200);
    EXPECT_LT(took, 1s);
    EXPECT_LE(server->ConnectionCount(), 64u);
}
