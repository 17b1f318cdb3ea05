#pragma once

#include <string>
#include <string_view>

#include "web/HttpServer.h"
#include "web/WebHandler.h"

// One request's bytes as they came off the connection, to the bytes of the answer: the same
// parsing, limits and routing the service uses, without a socket (for the fuzz target).
// Streams are answered with their header only.
std::string AnswerRawRequest(std::string_view bytes, IWebHandler& handler, const WebLimits& limits);
