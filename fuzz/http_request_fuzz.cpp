// Requests as any client on the network may send them: the parser under the service's limits
// must never read outside the bytes, and every answer must be a whole HTTP response whose
// status is one the service gives (the page's, or 400, 413, 431).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/HttpAnswer.h"

namespace {

// Answers with what it was given, so the translation of every part of a request is exercised.
class MirrorHandler : public IWebHandler {
public:
    WebResponse Handle(const WebRequest& request) override {
        WebResponse response;
        response.headers.emplace_back("X-Path", request.path);
        response.body = request.method + request.query + request.Header("host") + request.body;
        return response;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MirrorHandler handler;
    WebLimits limits;
    limits.maxHeaderBytes = 512;
    limits.maxBodyBytes = 256;
    const std::string answer =
        AnswerRawRequest(std::string_view(reinterpret_cast<const char*>(data), size), handler, limits);
    if (answer.empty()) return 0;
    const std::string_view line(answer);
    const bool known = line.starts_with("HTTP/1.1 200 ") || line.starts_with("HTTP/1.0 200 ") ||
                       line.starts_with("HTTP/1.1 400 ") || line.starts_with("HTTP/1.1 413 ") ||
                       line.starts_with("HTTP/1.1 431 ");
    if (!known || answer.find("\r\n\r\n") == std::string::npos) std::abort();
    return 0;
}
