// The three bodies a webhook target can ask for. JSON goes through Qt's JSON writer, which
// escapes quotes and control characters; every text first passes through QString, whose
// UTF-8 decoder replaces what is not UTF-8.
#include "notify/WebhookBody.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string Utf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string Compact(const QJsonObject& object) {
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

const char* KindName(WebhookContent::Kind kind) {
    switch (kind) {
        case WebhookContent::Kind::Notice:
            return "notice";
        case WebhookContent::Kind::Test:
            return "test";
        case WebhookContent::Kind::Alert:
            break;
    }
    return "alert";
}

std::string JsonBody(const WebhookContent& c) {
    QJsonArray problems;
    for (const std::string& word : c.Problems) problems.append(Text(word));
    QJsonObject object;
    object.insert(QStringLiteral("kind"), QString::fromLatin1(KindName(c.What)));
    object.insert(QStringLiteral("device"), Text(c.DeviceName));
    object.insert(QStringLiteral("address"), Text(c.Address));
    object.insert(QStringLiteral("serial"), Text(c.Serial));
    object.insert(QStringLiteral("model"), Text(c.Model));
    object.insert(QStringLiteral("problems"), problems);
    object.insert(QStringLiteral("since"),
                  c.Since > 0 ? QJsonValue(Text(WebhookTimeText(c.Since))) : QJsonValue());
    object.insert(QStringLiteral("subject"), Text(c.Subject));
    object.insert(QStringLiteral("text"), Text(c.Text));
    return Compact(object);
}

// The subject on the first line, the message below it.
QString ChatText(const WebhookContent& c) {
    QString text = Text(c.Subject);
    if (!c.Text.empty()) text += QStringLiteral("\n") + Text(c.Text);
    return text;
}

// A header value on one line: every control character becomes a space. Printable ASCII goes
// as it is; anything else as an RFC 2047 encoded word, which push servers decode.
std::string HeaderValue(const std::string& raw) {
    QString text = Text(raw);
    for (QChar& ch : text) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F) ch = QLatin1Char(' ');
    }
    const std::string utf8 = Utf8(text.simplified());
    const bool plain = std::all_of(utf8.begin(), utf8.end(), [](char ch) {
        return static_cast<unsigned char>(ch) >= 0x20 && static_cast<unsigned char>(ch) < 0x7F;
    });
    if (plain) return utf8;
    const QByteArray encoded =
        QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size())).toBase64();
    return "=?UTF-8?B?" +
           std::string(encoded.constData(), static_cast<std::size_t>(encoded.size())) + "?=";
}

}  // namespace

std::optional<WebhookFormat> WebhookFormatNamed(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    for (const WebhookFormat format :
         {WebhookFormat::Json, WebhookFormat::Chat, WebhookFormat::Ntfy}) {
        if (lower == WebhookFormatName(format)) return format;
    }
    return std::nullopt;
}

const char* WebhookFormatName(WebhookFormat format) {
    switch (format) {
        case WebhookFormat::Chat:
            return "chat";
        case WebhookFormat::Ntfy:
            return "ntfy";
        case WebhookFormat::Json:
            break;
    }
    return "json";
}

std::string WebhookTimeText(std::int64_t secondsSince1970) {
    const std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm utc{};
    if (gmtime_r(&t, &utc) == nullptr) return {};
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, n);
}

WebhookPayload MakeWebhookPayload(const WebhookContent& content, WebhookFormat format) {
    WebhookPayload payload;
    switch (format) {
        case WebhookFormat::Json:
            payload.Body = JsonBody(content);
            payload.Headers.push_back("Content-Type: application/json");
            break;
        case WebhookFormat::Chat:
            payload.Body = Compact(QJsonObject{{QStringLiteral("text"), ChatText(content)}});
            payload.Headers.push_back("Content-Type: application/json");
            break;
        case WebhookFormat::Ntfy:
            payload.Body = Utf8(Text(content.Text.empty() ? content.Subject : content.Text));
            payload.Headers.push_back("Content-Type: text/plain; charset=utf-8");
            payload.Headers.push_back("Title: " + HeaderValue(content.Subject));
            payload.Headers.push_back(
                std::string("Priority: ") +
                (content.What == WebhookContent::Kind::Alert ? "high" : "default"));
            break;
    }
    return payload;
}
