// The service's own behaviour with well-behaved and malformed requests: routing, keep-alive,
// the size limits, TLS versions, plain HTTP on the TLS port, failures at start, streams.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "WebServerFixture.h"
#include "WebTestClient.h"

using namespace std::chrono_literals;

TEST_F(WebServerTest, HandsTheParsedRequestToTheHandlerAndItsAnswerBack) {
    StartServer();
    const std::string response =
        HttpsExchange(port, certs.certFile,
                      "POST /api/x?since=2024-01-01&limit=5 HTTP/1.1\r\nHost: a\r\nX-Token: t1\r\n"
                      "Content-Length: 3\r\nConnection: close\r\n\r\nabc");
    EXPECT_EQ(StatusOf(response), 200) << response;
    EXPECT_NE(response.find("X-Path: /api/x\r\n"), std::string::npos) << response;
    EXPECT_NE(response.find("\r\n\r\nPOST /api/x since=2024-01-01&limit=5 3"), std::string::npos)
        << response;
    const WebRequest seen = echo->Last();
    EXPECT_EQ(seen.target, "/api/x?since=2024-01-01&limit=5");
    EXPECT_EQ(seen.Header("x-token"), "t1");
    EXPECT_EQ(seen.body, "abc");
    EXPECT_EQ(seen.peerAddress, "127.0.0.1");
}

TEST_F(WebServerTest, KeepsTheConnectionForTheNextRequestAndAnswersErrorsFromTheHandler) {
    StartServer();
    TlsClient client;
    ASSERT_TRUE(client.Connect(port, certs.certFile));
    ASSERT_TRUE(client.Send("GET /missing HTTP/1.1\r\nHost: a\r\n\r\n"));
    const std::string first = client.Receive(5s, "GET /missing  0");
    EXPECT_EQ(StatusOf(first), 404) << first;
    ASSERT_TRUE(client.Send("GET /throw HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    const std::string second = client.Receive(5s);
    EXPECT_EQ(StatusOf(second), 500) << second;
    EXPECT_EQ(second.find("handler failed"), std::string::npos) << "no internals to the client";
}

// A handler whose "/slow" page holds its worker until released, and whose "/quick" page is
// made on the network thread.
class HoldingHandler : public EchoHandler {
public:
    WebResponse Handle(const WebRequest& request) override {
        if (request.path == "/slow") {
            entered.set_value();
            release.wait();
        }
        return EchoHandler::Handle(request);
    }
    bool Quick(const WebRequest& request) const override { return request.path == "/quick"; }

    std::promise<void> entered;
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
};

TEST_F(WebServerTest, AnswersAQuickRequestWhileEveryWorkerIsBusy) {
    auto holding = std::make_shared<HoldingHandler>();
    WebLimits limits;
    limits.workerThreads = 1;
    StartServer(limits, true, holding);
    TlsClient slow;
    ASSERT_TRUE(slow.Connect(port, certs.certFile));
    ASSERT_TRUE(slow.Send("GET /slow HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    ASSERT_EQ(holding->entered.get_future().wait_for(5s), std::future_status::ready);

    TlsClient quick;
    ASSERT_TRUE(quick.Connect(port, certs.certFile));
    ASSERT_TRUE(quick.Send("GET /quick HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    const std::string answer = quick.Receive(3s, "GET /quick");
    EXPECT_EQ(StatusOf(answer), 200) << "the only worker is held: " << answer;

    holding->released.set_value();
    EXPECT_EQ(StatusOf(slow.Receive(5s)), 200);
}

struct BadRequestCase {
    const char* name;
    std::string request;
    int status;
};

TEST_F(WebServerTest, AnswersOversizedAndMalformedRequestsWithTheirStatus) {
    WebLimits limits;
    limits.maxHeaderBytes = 1024;
    limits.maxBodyBytes = 100;
    StartServer(limits);
    const std::string big(2000, 'x');
    const BadRequestCase cases[] = {
        {"long header line", "GET / HTTP/1.1\r\nHost: a\r\nX-Big: " + big + "\r\n\r\n", 431},
        {"long target", "GET /" + big + " HTTP/1.1\r\nHost: a\r\n\r\n", 431},
        {"declared body too long", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 101\r\n\r\n",
         413},
        {"chunked body too long",
         "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n80\r\n" +
             std::string(128, 'y') + "\r\n0\r\n\r\n",
         413},
        {"not HTTP", "HELLO THERE\r\n\r\n", 400},
        {"bad content length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: x\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        const std::string response = HttpsExchange(port, certs.certFile, c.request);
        EXPECT_EQ(StatusOf(response), c.status) << c.name << "\n" << response;
    }
    // A body right at the limit is still taken.
    const std::string fits = HttpsExchange(
        port, certs.certFile,
        "POST / HTTP/1.1\r\nHost: a\r\nConnection: close\r\nContent-Length: 100\r\n\r\n" +
            std::string(100, 'z'));
    EXPECT_EQ(StatusOf(fits), 200) << fits;
}

TEST_F(WebServerTest, PlainHttpOnTheTlsPortGetsAReadableRefusal) {
    StartServer();
    const std::string response = PlainExchange(port, "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(StatusOf(response), 400) << response;
    EXPECT_NE(response.find("https://"), std::string::npos) << response;
    EXPECT_EQ(echo->Last().method, "") << "the request must not reach a page";
}

TEST_F(WebServerTest, AcceptsTls12AndNewerOnly) {
    StartServer();
    const struct {
        const char* name;
        int version;
        bool accepted;
    } cases[] = {{"TLS 1.0", TLS1_VERSION, false},
                 {"TLS 1.1", TLS1_1_VERSION, false},
                 {"TLS 1.2", TLS1_2_VERSION, true},
                 {"TLS 1.3", TLS1_3_VERSION, true}};
    for (const auto& c : cases) {
        TlsClient client;
        std::string error;
        EXPECT_EQ(client.Connect(port, certs.certFile, {c.version, c.version}, &error), c.accepted)
            << c.name << " " << error;
    }
}

TEST_F(WebServerTest, PlainHttpServiceAnswersWithoutTls) {
    StartServer({}, false);
    const std::string response =
        PlainExchange(port, "GET /p HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(response), 200) << response;
}

TEST(HttpServerStart, SaysWhyItCannotStart) {
    QTemporaryDir folder;
    const CertPaths certs = SelfSignedCertPaths(folder.filePath("avlo-monitor.ini").toStdString());
    ASSERT_TRUE(EnsureSelfSignedCert(certs, nullptr));
    auto handler = std::make_shared<EchoHandler>();
    HttpServerConfig first{"127.0.0.1", 0, true, certs.certFile, certs.keyFile, {}};
    HttpServer running(first, handler);
    ASSERT_TRUE(running.Start(nullptr));

    const struct {
        const char* name;
        HttpServerConfig config;
        const char* says;
    } cases[] = {
        {"port taken", {"127.0.0.1", running.Port(), false, "", "", {}}, "cannot listen"},
        {"no certificate",
         {"127.0.0.1", 0, true, folder.filePath("none.crt").toStdString(), certs.keyFile, {}},
         "none.crt"},
        {"key for another certificate",
         {"127.0.0.1", 0, true, certs.certFile, certs.certFile, {}},
         "key"},
        {"not an address", {"localhost:80", 0, false, "", "", {}}, "not an address"},
    };
    for (const auto& c : cases) {
        HttpServer server(c.config, handler);
        std::string error;
        EXPECT_FALSE(server.Start(&error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    }
}

namespace {

// A stream whose text the test pushes from its own thread, as the event hub would.
class PushedStream : public IWebStream {
public:
    void Start(std::function<void()> wake) override {
        std::lock_guard guard(lock_);
        wake_ = std::move(wake);
        started_.set_value();
    }
    std::string Take(bool* finished) override {
        std::lock_guard guard(lock_);
        *finished = ended_;
        return std::exchange(pending_, {});
    }
    void Push(const std::string& text, bool end) {
        std::function<void()> wake;
        {
            std::lock_guard guard(lock_);
            pending_ += text;
            ended_ = end;
            wake = wake_;
        }
        wake();
    }
    bool WaitStarted() { return started_.get_future().wait_for(5s) == std::future_status::ready; }

private:
    std::mutex lock_;
    std::string pending_;
    bool ended_ = false;
    std::function<void()> wake_;
    std::promise<void> started_;
};

class StreamHandler : public IWebHandler {
public:
    WebResponse Handle(const WebRequest&) override {
        WebResponse response;
        response.headers.emplace_back("Content-Type", "text/event-stream");
        response.stream = stream;
        return response;
    }
    std::shared_ptr<PushedStream> stream = std::make_shared<PushedStream>();
};

}  // namespace

TEST_F(WebServerTest, StreamsWhatItsSourcePushesUntilTheSourceEnds) {
    auto handler = std::make_shared<StreamHandler>();
    StartServer({}, true, handler);
    TlsClient client;
    ASSERT_TRUE(client.Connect(port, certs.certFile));
    ASSERT_TRUE(client.Send("GET /api/stream HTTP/1.1\r\nHost: a\r\n\r\n"));
    const std::string head = client.Receive(5s, "\r\n\r\n");
    EXPECT_EQ(StatusOf(head), 200) << head;
    EXPECT_NE(head.find("Content-Type: text/event-stream"), std::string::npos) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;
    ASSERT_TRUE(handler->stream->WaitStarted());

    std::thread([&] { handler->stream->Push("data: one\n\n", false); }).join();
    EXPECT_NE(client.Receive(5s, "data: one\n\n").find("data: one\n\n"), std::string::npos);
    handler->stream->Push("data: two\n\n", true);
    const std::string rest = client.Receive(5s);
    EXPECT_NE(rest.find("data: two\n\n"), std::string::npos) << rest;
    EXPECT_NE(rest.find("\r\n0\r\n\r\n"), std::string::npos) << "the chunked body ends: " << rest;
    EXPECT_TRUE(client.PeerClosed(2s));
}

// The write limit bounds each part's sending, not the stream: a listener stays for as long as
// it reads, quiet or busy, well past that limit.
TEST_F(WebServerTest, KeepsAStreamOpenLongerThanTheWriteLimit) {
    auto handler = std::make_shared<StreamHandler>();
    WebLimits limits;
    limits.writeTime = 200ms;
    limits.streamHeartbeat = 50ms;
    StartServer(limits, true, handler);
    TlsClient client;
    ASSERT_TRUE(client.Connect(port, certs.certFile));
    ASSERT_TRUE(client.Send("GET /api/stream HTTP/1.1\r\nHost: a\r\n\r\n"));
    ASSERT_TRUE(handler->stream->WaitStarted());
    for (int part = 0; part < 8; ++part) {
        const std::string text = "data: " + std::to_string(part) + "\n\n";
        handler->stream->Push(text, false);
        ASSERT_NE(client.Receive(5s, text).find(text), std::string::npos) << "part " << part;
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(500ms);  // quiet: only heartbeats
    handler->stream->Push("data: late\n\n", false);
    EXPECT_NE(client.Receive(5s, "data: late").find("data: late"), std::string::npos);
    EXPECT_EQ(server->ConnectionCount(), 1u);
}

TEST_F(WebServerTest, NoticesAListenerThatLeavesAndSendsHeartbeatsMeanwhile) {
    auto handler = std::make_shared<StreamHandler>();
    WebLimits limits;
    limits.streamHeartbeat = 100ms;
    StartServer(limits, true, handler);
    {
        TlsClient client;
        ASSERT_TRUE(client.Connect(port, certs.certFile));
        ASSERT_TRUE(client.Send("GET /api/stream HTTP/1.1\r\nHost: a\r\n\r\n"));
        ASSERT_TRUE(handler->stream->WaitStarted());
        EXPECT_NE(client.Receive(5s, ": keep-alive").find(": keep-alive"), std::string::npos);
        EXPECT_EQ(server->ConnectionCount(), 1u);
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (server->ConnectionCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server->ConnectionCount(), 0u);
}
