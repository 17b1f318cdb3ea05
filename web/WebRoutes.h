#pragma once

// The service's pages: GET /metrics, open or behind a bearer token, and the JSON API under
// /api/, behind sign-in. Runs on the server's worker threads; everything it reads is either
// immutable (the site's snapshot), thread-safe (sign-in, the hub) or opened per call (the
// history).

#include <functional>
#include <memory>
#include <string>

#include "web/Authentication.h"
#include "web/EventStream.h"
#include "web/EventsApi.h"
#include "web/MetricsPage.h"
#include "web/SiteSnapshot.h"
#include "web/WebHandler.h"

struct WebRoutesParts {
    std::function<std::shared_ptr<const SiteSnapshot>()> site;  // the latest, any thread
    std::shared_ptr<const CEventsApi> events;
    std::shared_ptr<CEventStream> hub;
    std::shared_ptr<CAuthentication> authentication;
    std::string metricsToken;  // empty: /metrics is open
    bool tls = true;           // HSTS only means something over HTTPS
};

class CWebRoutes : public IWebHandler {
public:
    explicit CWebRoutes(WebRoutesParts parts) : parts_(std::move(parts)) {}
    WebResponse Handle(const WebRequest& request) override;
    // The metrics page: scraped often, made from the cache, with no sign-in but a token.
    bool Quick(const WebRequest& request) const override;

private:
    WebResponse Route(const WebRequest& request);
    WebResponse Metrics(const WebRequest& request);
    WebResponse Api(const WebRequest& request);
    WebResponse SignIn(const WebRequest& request);
    WebResponse SignOut(const WebRequest& request);
    WebResponse Devices(const std::string& path);
    WebResponse Stream();

    WebRoutesParts parts_;
    CMetricsPageCache metrics_;
};

// Whether a bearer header carries exactly token, compared in constant time.
bool BearerMatches(std::string_view authorization, const std::string& token);
