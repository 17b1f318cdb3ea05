// The translation between the HTTP library's messages and the service's own, and the whole
// exchange of one request without a socket.
#include "web/HttpExchange.h"

#include <exception>
#include <sstream>

#include "web/HttpAnswer.h"

namespace webhttp {

void ApplyLimits(Parser& parser, const WebLimits& limits) {
    parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
    parser.body_limit(limits.maxBodyBytes);
}

int StatusForReadError(const boost::beast::error_code& error) {
    if (error == http::error::header_limit) return 431;
    if (error == http::error::body_limit) return 413;
    if (error.category() == http::make_error_code(http::error::bad_method).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message)
        return 400;
    return 0;
}

WebRequest ToWebRequest(const Request& request, std::string peerAddress) {
    WebRequest out;
    out.method = std::string(request.method_string());
    out.target = std::string(request.target());
    const std::size_t mark = out.target.find('?');
    out.path = out.target.substr(0, mark);
    if (mark != std::string::npos) out.query = out.target.substr(mark + 1);
    for (const auto& field : request)
        out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    out.body = request.body();
    out.peerAddress = std::move(peerAddress);
    return out;
}

WebResponse Dispatch(IWebHandler& handler, const WebRequest& request) {
    try {
        return handler.Handle(request);
    } catch (const std::exception&) {
        return TextResponse(500, "Internal error");
    }
}

Response ToHttpResponse(WebResponse response, unsigned version, bool keepAlive) {
    Response out{static_cast<http::status>(response.status), version};
    bool typed = false;
    for (auto& [name, value] : response.headers) {
        typed = typed || boost::beast::iequals(name, "Content-Type");
        out.insert(name, value);
    }
    if (!typed) out.set(http::field::content_type, "text/plain; charset=utf-8");
    out.set("X-Content-Type-Options", "nosniff");
    out.body() = std::move(response.body);
    out.keep_alive(keepAlive);
    out.prepare_payload();
    return out;
}

Response AnswerTo(const Request& request, WebResponse response) {
    const bool endless = response.stream != nullptr;
    response.stream.reset();
    Response out =
        ToHttpResponse(std::move(response), request.version(), request.keep_alive());
    if (request.method() != http::verb::head) return out;
    const std::size_t length = out.body().size();
    out.body().clear();
    if (endless)
        out.erase(http::field::content_length);
    else
        out.content_length(length);
    return out;
}

}  // namespace webhttp

namespace {

std::string Serialized(const webhttp::Response& response) {
    std::ostringstream text;
    text << response;
    return text.str();
}

}  // namespace

std::string AnswerRawRequest(std::string_view bytes, IWebHandler& handler,
                             const WebLimits& limits) {
    webhttp::Parser parser;
    webhttp::ApplyLimits(parser, limits);
    parser.eager(true);
    boost::beast::error_code error;
    while (!bytes.empty() && !parser.is_done() && !error) {
        const std::size_t used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), error);
        bytes.remove_prefix(used);
        if (error == webhttp::http::error::need_more && used > 0) error = {};
        if (used == 0 && !error) break;
    }
    if (error == webhttp::http::error::need_more) error = {};
    if (!error && !parser.is_done()) parser.put_eof(error);
    if (error) {
        const int status = webhttp::StatusForReadError(error);
        if (status == 0) return {};
        return Serialized(
            webhttp::ToHttpResponse(TextResponse(status, error.message()), 11, false));
    }
    const webhttp::Request& request = parser.get();
    return Serialized(webhttp::AnswerTo(
        request, webhttp::Dispatch(handler, webhttp::ToWebRequest(request, "127.0.0.1"))));
}
