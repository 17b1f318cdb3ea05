// The three webhook bodies: what each carries, and that a device's hostile name cannot break
// the JSON or the headers.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "notify/WebhookBody.h"
#include "support/WebhookReceiver.h"

namespace {

WebhookContent Alert() {
    WebhookContent c;
    c.What = WebhookContent::Kind::Alert;
    c.DeviceName = "Stage left";
    c.Address = "127.0.0.2";
    c.Serial = "SN-0042";
    c.Model = "V4-1200";
    c.Problems = {"fan", "temperature"};
    c.Since = 1796992157;  // 2026-12-11T12:29:17Z
    c.Subject = "AVLO alert: Stage left";
    c.Text = "Fan fault.\nTemperature fault.";
    return c;
}

QJsonObject Parsed(const std::string& body) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << body;
    return doc.object();
}

std::string Header(const WebhookPayload& p, const std::string& name) {
    for (const std::string& line : p.Headers) {
        if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
    }
    return "(none)";
}

}  // namespace

TEST(WebhookBody, JsonCarriesEveryField) {
    const WebhookPayload p = MakeWebhookPayload(Alert(), WebhookFormat::Json);
    const QJsonObject o = Parsed(p.Body);
    EXPECT_EQ(o.value("kind").toString(), "alert");
    EXPECT_EQ(o.value("device").toString(), "Stage left");
    EXPECT_EQ(o.value("address").toString(), "127.0.0.2");
    EXPECT_EQ(o.value("serial").toString(), "SN-0042");
    EXPECT_EQ(o.value("model").toString(), "V4-1200");
    EXPECT_EQ(o.value("problems").toArray(), (QJsonArray{"fan", "temperature"}));
    EXPECT_EQ(o.value("since").toString(), "2026-12-11T12:29:17Z");
    EXPECT_EQ(o.value("subject").toString(), "AVLO alert: Stage left");
    EXPECT_EQ(o.value("text").toString(), "Fan fault.\nTemperature fault.");
    EXPECT_EQ(Header(p, "Content-Type"), "application/json");
}

TEST(WebhookBody, KindsAndAnUnknownMoment) {
    const struct {
        WebhookContent::Kind kind;
        const char* json;
        const char* priority;
    } cases[] = {{WebhookContent::Kind::Alert, "alert", "high"},
                 {WebhookContent::Kind::Notice, "notice", "default"},
                 {WebhookContent::Kind::Test, "test", "default"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        WebhookContent content = Alert();
        content.What = c.kind;
        content.Since = 0;
        const QJsonObject o = Parsed(MakeWebhookPayload(content, WebhookFormat::Json).Body);
        EXPECT_EQ(o.value("kind").toString(), c.json);
        EXPECT_TRUE(o.value("since").isNull());
        EXPECT_EQ(Header(MakeWebhookPayload(content, WebhookFormat::Ntfy), "Priority"), c.priority);
    }
}

TEST(WebhookBody, ChatIsOneTextField) {
    const WebhookPayload p = MakeWebhookPayload(Alert(), WebhookFormat::Chat);
    const QJsonObject o = Parsed(p.Body);
    EXPECT_EQ(o.keys(), QStringList{"text"});
    EXPECT_EQ(o.value("text").toString(), "AVLO alert: Stage left\nFan fault.\nTemperature fault.");
    EXPECT_EQ(Header(p, "Content-Type"), "application/json");
}

TEST(WebhookBody, NtfyIsPlainTextWithTitleAndPriority) {
    const WebhookPayload p = MakeWebhookPayload(Alert(), WebhookFormat::Ntfy);
    EXPECT_EQ(p.Body, "Fan fault.\nTemperature fault.");
    EXPECT_EQ(Header(p, "Title"), "AVLO alert: Stage left");
    EXPECT_EQ(Header(p, "Priority"), "high");
    EXPECT_EQ(Header(p, "Content-Type"), "text/plain; charset=utf-8");
}

// Quotes, backslashes, control bytes and bytes that are not UTF-8, as a hostile device could
// announce its name: every body stays valid for Python's strict parser, and no header gains a
// line break or a byte beyond ASCII.
TEST(WebhookBody, HostileTextsStayValid) {
    if (access(smtpsink::Python, X_OK) != 0) GTEST_SKIP() << "needs Debian's /usr/bin/python3";
    WebhookContent c = Alert();
    c.DeviceName = std::string("Amp \"1\"\\ \x01\x1f\x7f \xff\xfe \xc3( \xed\xa0\x80 end");
    c.Subject = "Alert: " + c.DeviceName + "\r\nX-Injected: yes";
    c.Text = c.DeviceName;
    c.Problems = {c.DeviceName};
    for (const WebhookFormat f : {WebhookFormat::Json, WebhookFormat::Chat, WebhookFormat::Ntfy}) {
        SCOPED_TRACE(WebhookFormatName(f));
        const WebhookPayload p = MakeWebhookPayload(c, f);
        if (f != WebhookFormat::Ntfy) {
            const std::optional<std::string> strict = WebhookReceiver::StrictJson(p.Body);
            ASSERT_TRUE(strict.has_value()) << p.Body;
            EXPECT_NE(strict->find("Amp \\\"1\\\"\\\\"), std::string::npos) << *strict;
            EXPECT_NE(strict->find("\\ufffd"), std::string::npos) << *strict;
        }
        EXPECT_TRUE(QString::fromUtf8(QByteArray::fromStdString(p.Body)).toUtf8() ==
                    QByteArray::fromStdString(p.Body));
        for (const std::string& line : p.Headers) {
            for (const char ch : line) {
                EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << line;
            }
        }
    }
}

TEST(WebhookBody, NonAsciiTitleIsAnEncodedWord) {
    WebhookContent c = Alert();
    c.Subject = "Bühne links";
    const std::string title = Header(MakeWebhookPayload(c, WebhookFormat::Ntfy), "Title");
    ASSERT_EQ(title.rfind("=?UTF-8?B?", 0), 0u) << title;
    const std::string encoded = title.substr(10, title.size() - 12);
    EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(encoded)).toStdString(),
              "Bühne links");
}

TEST(WebhookBody, FormatNames) {
    EXPECT_EQ(WebhookFormatNamed("json"), WebhookFormat::Json);
    EXPECT_EQ(WebhookFormatNamed("Chat"), WebhookFormat::Chat);
    EXPECT_EQ(WebhookFormatNamed("NTFY"), WebhookFormat::Ntfy);
    EXPECT_EQ(WebhookFormatNamed("xml"), std::nullopt);
    EXPECT_EQ(WebhookFormatNamed(""), std::nullopt);
}
