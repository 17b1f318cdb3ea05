#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// What the HTTP service hands to the rest of the network face, and what it gets back: plain
// C++ values, so the metrics page, the API and sign-in never see the HTTP library.

struct WebRequest {
    std::string method;  // "GET", "POST", ... as sent
    std::string target;  // the whole request target, "/api/events?limit=5"
    std::string path;    // the target before '?', not decoded
    std::string query;   // the target after '?', not decoded; empty without one
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
    std::string body;
    std::string peerAddress;  // "127.0.0.1", "::1"

    // The first header of that name (compared without case), or empty.
    std::string Header(std::string_view name) const;
};

// A response that goes on for as long as its source has something to say (Server-Sent
// Events). The service calls Start once, from its own thread, with a wake-up it may call from
// any thread whenever Take has something new; Take is only called from the service's thread.
class IWebStream {
public:
    virtual ~IWebStream() = default;
    virtual void Start(std::function<void()> wake) = 0;
    // The text that is ready (empty: nothing yet). Sets *finished when nothing more will come,
    // e.g. a subscriber that fell too far behind and was dropped.
    virtual std::string Take(bool* finished) = 0;
};

struct WebResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Type among them
    std::string body;
    // When set, the body is this stream instead (sent without a length, kept open).
    std::shared_ptr<IWebStream> stream;
};

// Routes a parsed request to its page. Called on one of the service's worker threads (or, for
// a quick request, on its network thread), never on the core's thread; several calls may run
// at once.
class IWebHandler {
public:
    virtual ~IWebHandler() = default;
    virtual WebResponse Handle(const WebRequest& request) = 0;
    // Whether the answer is made in moments, with no password to check and nothing to read
    // from a disk: it is then made on the network thread, without the hand-over to a worker
    // and back (two thread wake-ups that a busy machine makes slow).
    virtual bool Quick(const WebRequest& request) const {
        (void)request;
        return false;
    }
};

// A plain-text answer, for errors above all.
WebResponse TextResponse(int status, std::string text);
