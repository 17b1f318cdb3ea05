#include "web/WebSettings.h"

#include <arpa/inet.h>

#include "web/SelfSignedCert.h"

bool IsLoopbackAddress(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

WebPlan PlanWebService(const WebSettings_Type& settings, const std::string& configPath,
                       HttpServerConfig* config, std::string* reason) {
    if (!settings.On) return WebPlan::Off;
    if (!settings.Tls && !IsLoopbackAddress(settings.Address)) {
        *reason = "Web access without TLS is allowed on a loopback address only (Address=" +
                  settings.Address + "): set Tls=1, or Address=127.0.0.1 for this computer only.";
        return WebPlan::Refused;
    }
    config->address = settings.Address;
    config->port = static_cast<unsigned short>(settings.Port);
    config->tls = settings.Tls;
    config->certFile = settings.CertFile;
    config->keyFile = settings.KeyFile;
    if (!settings.Tls || (!settings.CertFile.empty() && !settings.KeyFile.empty()))
        return WebPlan::Start;
    if (!settings.CertFile.empty() || !settings.KeyFile.empty()) {
        *reason = "Web access needs both CertFile and KeyFile, or neither for a self-signed pair.";
        return WebPlan::Refused;
    }
    const CertPaths made = SelfSignedCertPaths(configPath);
    std::string error;
    if (!EnsureSelfSignedCert(made, &error)) {
        *reason = "Web access: " + error;
        return WebPlan::Refused;
    }
    config->certFile = made.certFile;
    config->keyFile = made.keyFile;
    return WebPlan::Start;
}
