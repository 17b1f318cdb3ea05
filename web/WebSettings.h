#pragma once

#include <string>

#include "monitoring/Settings.h"
#include "web/HttpServer.h"

// From the "Web" settings to what the service listens with. Plain HTTP is only for this
// computer: a password or a session cookie must never cross the network in clear.

bool IsLoopbackAddress(const std::string& address);

enum class WebPlan { Off, Start, Refused };

// Off when the service is switched off; Refused with *reason when it must not start (plain
// HTTP on a network address, the self-signed pair cannot be made); otherwise *config is ready,
// with the self-signed pair beside the settings file when no certificate is named.
WebPlan PlanWebService(const WebSettings_Type& settings, const std::string& configPath,
                       HttpServerConfig* config, std::string* reason);
