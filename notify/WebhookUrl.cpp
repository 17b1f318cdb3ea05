// Target URLs read by libcurl's own URL parser, the same that the delivery uses.
#include "notify/WebhookUrl.h"

#include <curl/curl.h>

#include <memory>

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::string Part(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string value(text);
    curl_free(text);
    return value;
}

// Parsed as an absolute URL only: a bare host name must not be guessed into one.
UrlHandle Parse(const std::string& text) {
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return {};
    return url;
}

}  // namespace

std::optional<std::string> WebhookUrlFault(const std::string& url) {
    if (url.empty()) return std::string("no URL");
    const UrlHandle parsed = Parse(url);
    if (!parsed) return std::string("not a valid URL");
    const std::string scheme = Part(parsed.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") return std::string("not an http or https URL");
    if (Part(parsed.get(), CURLUPART_HOST).empty()) return std::string("no host in the URL");
    return std::nullopt;
}

std::string WebhookTargetName(const std::string& url) {
    const UrlHandle parsed = Parse(url);
    if (!parsed) return "(unusable URL)";
    std::string name =
        Part(parsed.get(), CURLUPART_SCHEME) + "://" + Part(parsed.get(), CURLUPART_HOST);
    const std::string port = Part(parsed.get(), CURLUPART_PORT);
    if (!port.empty()) name += ":" + port;
    return name;
}
