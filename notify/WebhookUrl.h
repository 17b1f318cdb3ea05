#pragma once

#include <optional>
#include <string>

// Why a target's URL cannot be used (not an absolute http or https URL with a host, or not
// one URL at all); nullopt when it can.
std::optional<std::string> WebhookUrlFault(const std::string& url);

// How events name a target: scheme, host and port only. The path and query of a chat or push
// URL often are its secret (a token, a topic), and the history and system log are no place
// for them.
std::string WebhookTargetName(const std::string& url);
