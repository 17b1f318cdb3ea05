// The webhook client against a real receiver on 127.0.0.1 (plain and HTTPS with a test
// certificate authority): what arrives, the retries and the one outcome of a failing target,
// and a stop that does not wait for a hanging one.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "notify/WebhookClient.h"
#include "support/LoopbackPort.h"
#include "support/QueueTarget.h"
#include "support/WebhookReceiver.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t ResultMessage = 0x9001;
constexpr std::uint32_t JobId = 42;

WebhookTiming Quick() {
    WebhookTiming t;
    t.TryLimit = 1500ms;
    t.RetryWaits = {50ms, 100ms};
    return t;
}

WebhookPayload JsonPayload() {
    WebhookContent c;
    c.DeviceName = "Amp 1";
    c.Subject = "Amp 1: fan";
    return MakeWebhookPayload(c, WebhookFormat::Json);
}

struct Outcome {
    std::uint32_t Code = 99;
    int Tries = 0;
    std::string Reason;
    std::size_t Messages = 0;  // messages posted in all, up to a while after the first
};

Outcome Deliver(const std::string& url, const std::string& caFile = {},
                WebhookPayload payload = JsonPayload()) {
    QueueTarget target;
    CWebhookClient client({url, std::move(payload), caFile}, Quick(), ResultMessage, &target,
                          JobId);
    Outcome o;
    const auto m = target.WaitFor([](const auto& m) { return m.msg == ResultMessage; }, 30s);
    if (!m) return o;
    EXPECT_EQ(m->lParam, JobId);
    o.Code = m->wParam;
    o.Tries = client.Tries();
    o.Reason = client.FailureReason();
    o.Messages = 1 + target.Collect(300ms).size();
    return o;
}

bool ToolsThere() {
    return access(smtpsink::Python, X_OK) == 0;
}

}  // namespace

TEST(WebhookClient, DeliversOnceOverHttpAndHttpsWithTheCaFile) {
    if (!ToolsThere()) GTEST_SKIP() << "needs Debian's /usr/bin/python3";
    const smtpsink::Certificates certs({"127.0.0.1"});
    ASSERT_TRUE(certs.Made()) << "python3-trustme made no certificates";
    struct Case {
        const char* scheme;
        const smtpsink::Certificates* certs;
    } const cases[] = {{"http", nullptr}, {"https", &certs}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scheme);
        const WebhookReceiver receiver("ok", c.certs);
        ASSERT_TRUE(receiver.Running());
        const Outcome o = Deliver(receiver.Url(c.scheme), c.certs ? c.certs->Ca() : "");
        EXPECT_EQ(o.Code, WebhookSent) << o.Reason;
        EXPECT_EQ(o.Tries, 1);
        EXPECT_EQ(o.Messages, 1u);
        const auto requests = receiver.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Path, "/hook");
        EXPECT_EQ(requests[0].Headers.value("content-type").toString(), "application/json");
        EXPECT_EQ(requests[0].Body, JsonPayload().Body);
    }
}

// Every failure takes the first try and two retries, then one outcome with the reason.
TEST(WebhookClient, FailingTargetsAreTriedThreeTimesAndReportedOnce) {
    if (!ToolsThere()) GTEST_SKIP() << "needs Debian's /usr/bin/python3";
    const smtpsink::Certificates certs({"127.0.0.1"});
    const smtpsink::Certificates otherCa({"127.0.0.1"});
    const smtpsink::Certificates otherName({"localhost"});
    ASSERT_TRUE(certs.Made() && otherCa.Made() && otherName.Made());
    struct Case {
        const char* name;
        const char* mode;  // nullptr: nobody listens
        const smtpsink::Certificates* served;
        const char* trusted;  // "own" CA of `served`, or "other"
        const char* reasonHas;
        int connections;
    } const cases[] = {
        {"refused", nullptr, nullptr, "", "onnect", 0},
        {"status 500", "status:500", nullptr, "", "HTTP status 500", 3},
        {"redirect", "status:302", nullptr, "", "HTTP status 302", 3},
        {"hangs", "hang", nullptr, "", "timed out", 3},
        {"other CA", "ok", &otherCa, "other", "certificate", 3},
        {"wrong host name", "ok", &otherName, "own", "127.0.0.1", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<WebhookReceiver> receiver;
        std::string url = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/hook";
        if (c.mode) {
            receiver.emplace(c.mode, c.served);
            ASSERT_TRUE(receiver->Running());
            url = receiver->Url(c.served ? "https" : "http");
        }
        std::string ca;
        if (c.served) ca = std::string(c.trusted) == "other" ? certs.Ca() : c.served->Ca();
        const Outcome o = Deliver(url, ca);
        EXPECT_EQ(o.Code, WebhookFailed);
        EXPECT_EQ(o.Tries, 3);
        EXPECT_EQ(o.Messages, 1u);
        EXPECT_NE(o.Reason.find(c.reasonHas), std::string::npos) << o.Reason;
        if (receiver) {
            EXPECT_EQ(receiver->Connections(), c.connections);
            EXPECT_TRUE(receiver->Requests().empty() || c.mode != std::string("ok"));
        }
    }
}

// A target that never answers, or a long wait before a retry, must not hold up the end of the
// program: the stop ends the try or the wait at once, long before its own limit.
TEST(WebhookClient, StopEndsAHangingTryOrAWaitAtOnce) {
    if (!ToolsThere()) GTEST_SKIP() << "needs Debian's /usr/bin/python3";
    const WebhookReceiver hanging("hang");
    const WebhookReceiver failing("status:503");
    ASSERT_TRUE(hanging.Running() && failing.Running());
    struct Case {
        const char* name;
        const WebhookReceiver* receiver;
    } const cases[] = {{"hanging try", &hanging}, {"waiting to retry", &failing}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QueueTarget target;
        WebhookTiming slow;
        slow.TryLimit = 30s;
        slow.RetryWaits = {30s, 30s};
        auto client = std::make_unique<CWebhookClient>(
            CWebhookClient::Request{c.receiver->Url(), JsonPayload(), ""}, slow, ResultMessage,
            &target, JobId);
        const int before = c.receiver->Connections();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (c.receiver->Connections() == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_GT(c.receiver->Connections(), before);
        std::this_thread::sleep_for(200ms);  // into the try, or into the wait after it
        const auto start = std::chrono::steady_clock::now();
        client.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        const auto m = target.WaitFor([](const auto& m) { return m.msg == ResultMessage; }, 1s);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->wParam, WebhookStopped);
    }
}
