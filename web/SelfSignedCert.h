#pragma once

#include <string>

// The certificate the service uses when the settings name none: made once, at the first start
// with TLS, for this machine's host name and addresses, and kept beside the settings file so
// a browser or Prometheus that was told to trust it goes on trusting it.

struct CertPaths {
    std::string certFile;
    std::string keyFile;
};

// "<folder>/<NAME>-web.crt" and "-web.key" for the settings file "<folder>/<NAME>.ini".
CertPaths SelfSignedCertPaths(const std::string& configPath);

// Makes the pair when either file is missing (the key mode 0600, the certificate 0644 so it
// can be handed out); an existing pair is used as it is. false with *error set.
bool EnsureSelfSignedCert(const CertPaths& paths, std::string* error);
