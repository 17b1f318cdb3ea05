#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a webhook target receives: the body and the extra header lines of one POST, made from
// an alert, a notice or a test in one of three formats.
enum class WebhookFormat { Json, Chat, Ntfy };

// The format named by a settings value ("json", "chat", "ntfy", any case); nullopt otherwise.
std::optional<WebhookFormat> WebhookFormatNamed(const std::string& name);
const char* WebhookFormatName(WebhookFormat format);

// The message as the webhook route sees it (the monitor core fills it from its alert record).
struct WebhookContent {
    enum class Kind { Alert, Notice, Test };
    Kind What = Kind::Alert;
    std::string DeviceName;
    std::string Address;
    std::string Serial;
    std::string Model;
    std::vector<std::string> Problems;
    std::int64_t Since = 0;  // seconds since 1970, UTC; 0: not known
    std::string Subject;
    std::string Text;
};

struct WebhookPayload {
    std::string Body;
    // Complete header lines ("Name: value"), Content-Type first; none holds a CR or LF.
    std::vector<std::string> Headers;
};

// Every text that comes from a device may hold any bytes: the body is always valid UTF-8 (a
// byte that is not becomes U+FFFD) and, for json and chat, valid JSON.
WebhookPayload MakeWebhookPayload(const WebhookContent& content, WebhookFormat format);

// ISO 8601 in UTC with seconds ("2026-12-11T12:49:17Z").
std::string WebhookTimeText(std::int64_t secondsSince1970);
