#pragma once

// GET /metrics: the site as Prometheus reads it. The names and labels are a contract that
// users' alert rules and dashboards rely on; change them only with a note to every user.
#include <optional>
#include <string>

#include "platform/ProcessFigures.h"
#include "web/SiteSnapshot.h"

// process: this process's figures, left out when they could not be read.
std::string MetricsPage(const SiteSnapshot& site, const std::optional<ProcessFigures>& process);
