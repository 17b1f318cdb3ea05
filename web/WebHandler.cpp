#include "web/WebHandler.h"

#include <algorithm>
#include <cctype>

namespace {

bool SameWord(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::string WebRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (SameWord(key, name)) return value;
    return {};
}

WebResponse TextResponse(int status, std::string text) {
    WebResponse response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    response.body = std::move(text);
    if (!response.body.empty() && response.body.back() != '\n') response.body += '\n';
    return response;
}
