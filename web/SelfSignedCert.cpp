// A self-signed certificate with an elliptic-curve key (P-256: small and quick to handshake),
// valid for ten years, naming the host name, "localhost" and every address of the machine.
#include "web/SelfSignedCert.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/PrivateFiles.h"

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// "IP:a.b.c.d" for every IPv4 and IPv6 address of the machine's interfaces.
std::vector<std::string> AddressNames() {
    std::vector<std::string> names{"IP:127.0.0.1", "IP:::1"};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return names;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const int family = i->ifa_addr->sa_family;
        const void* raw = nullptr;
        if (family == AF_INET) raw = &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        if (family == AF_INET6) raw = &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr;
        if (!raw || !inet_ntop(family, raw, text, sizeof text)) continue;
        // A link-local IPv6 address needs a zone, which a certificate cannot carry.
        if (family == AF_INET6 && std::strncmp(text, "fe80", 4) == 0) continue;
        const std::string name = std::string("IP:") + text;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    freeifaddrs(list);
    return names;
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool SetSerial(X509* cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;  // a positive number
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool set = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert));
    BN_free(number);
    return set;
}

Cert MakeCert(EVP_PKEY* key) {
    Cert cert(X509_new());
    const std::string host = HostName();
    std::string altNames = "DNS:" + host + (host == "localhost" ? "" : ",DNS:localhost");
    for (const std::string& address : AddressNames()) altNames += "," + address;
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool made =
        X509_set_version(cert.get(), 2) == 1 && SetSerial(cert.get()) &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key) == 1 &&
        AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
        AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
        AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
        AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
        AddExtension(cert.get(), NID_subject_alt_name, altNames) &&
        X509_sign(cert.get(), key, EVP_sha256()) > 0;
    return made ? std::move(cert) : Cert();
}

// Written beside the target and renamed over it, so a reader never sees half a file.
template <class Write>
bool WriteFile(const std::string& path, mode_t mode, Write write, std::string* error) {
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd = CreatePrivateFile(temporary, O_WRONLY);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!file) {
        if (fd >= 0) ::close(fd);
        *error = "cannot write \"" + temporary + "\": " + std::strerror(errno);
        return false;
    }
    const bool written =
        write(file) && fchmod(fd, mode) == 0 && std::fflush(file) == 0 && fsync(fd) == 0;
    std::fclose(file);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write \"" + path + "\"";
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

CertPaths SelfSignedCertPaths(const std::string& configPath) {
    const std::filesystem::path config(configPath);
    const std::string base = (config.parent_path() / config.stem()).string();
    return {base + "-web.crt", base + "-web.key"};
}

bool EnsureSelfSignedCert(const CertPaths& paths, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (std::filesystem::exists(paths.certFile) && std::filesystem::exists(paths.keyFile))
        return true;
    Key key(EVP_EC_gen("P-256"));
    Cert cert = key ? MakeCert(key.get()) : Cert();
    if (!cert) {
        *error = "the self-signed certificate could not be made";
        return false;
    }
    // The key first: a certificate without its key would be taken for a finished pair.
    return WriteFile(
               paths.keyFile, 0600,
               [&](FILE* f) {
                   return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr,
                                               nullptr) == 1;
               },
               error) &&
           WriteFile(
               paths.certFile, 0644, [&](FILE* f) { return PEM_write_X509(f, cert.get()) == 1; },
               error);
}
