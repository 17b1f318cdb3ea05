#pragma once

// GET /metrics: the site as Prometheus reads it. The names and labels are a contract that
// users' alert rules and dashboards rely on; change them only with a note to every user.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ProcessFigures.h"
#include "web/SiteSnapshot.h"

// process: this process's figures, left out when they could not be read.
std::string MetricsPage(const SiteSnapshot& site, const std::optional<ProcessFigures>& process);

// The page's families that the site alone decides, and those of the process.
std::string SiteMetricsText(const SiteSnapshot& site);
std::string ProcessMetricsText(const ProcessFigures& process);

// The page for scrapers that come more often than the site changes: the site's part is made
// once per snapshot, however many scrapes, on however many threads, ask for it; only the
// process's few lines are made for each.
class CMetricsPageCache {
public:
    std::string Page(const std::shared_ptr<const SiteSnapshot>& site,
                     const std::optional<ProcessFigures>& process);

private:
    std::shared_ptr<const std::string> SiteText(const std::shared_ptr<const SiteSnapshot>& site);

    std::mutex mutex_;
    std::weak_ptr<const SiteSnapshot> site_;
    std::shared_ptr<const std::string> text_;
};
