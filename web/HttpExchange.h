#pragma once

// Between the HTTP library's messages and the service's own: the request parser with its
// limits, what a failed read answers, and the translation both ways. Only the service and the
// fuzz entry include this (it brings in the HTTP library's headers, which are slow to build).

#include <boost/beast/core/error.hpp>
#include <boost/beast/http.hpp>
#include <string>

#include "web/HttpServer.h"
#include "web/WebHandler.h"

namespace webhttp {

namespace http = boost::beast::http;
using Parser = http::request_parser<http::string_body>;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void ApplyLimits(Parser& parser, const WebLimits& limits);

// The answer to a request that could not be read whole: 431, 413 or 400; 0 where there is
// nobody left to answer (the peer closed, a time limit ran out, the connection was dropped).
int StatusForReadError(const boost::beast::error_code& error);

WebRequest ToWebRequest(const Request& request, std::string peerAddress);

// Runs the handler; an exception in it becomes a 500 and never reaches the network thread.
WebResponse Dispatch(IWebHandler& handler, const WebRequest& request);

Response ToHttpResponse(WebResponse response, unsigned version, bool keepAlive);

// The answer to request as it goes on the wire, the stream left out (the caller starts it).
// To HEAD: the GET's header with the length of the body it would have had, and no body; a
// stream's header alone, without a length, since its body has none.
Response AnswerTo(const Request& request, WebResponse response);

}  // namespace webhttp
