// From the Web settings to what the service starts with; the self-signed pair beside the
// settings file, private key, made once and reused.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "web/SelfSignedCert.h"
#include "web/WebSettings.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

}  // namespace

TEST(WebSettings, PlansTheStartOrSaysWhyNot) {
    QTemporaryDir folder;
    const std::string config = folder.filePath("site.ini").toStdString();
    const struct {
        const char* name;
        WebSettings_Type settings;
        WebPlan plan;
        const char* says;
    } cases[] = {
        {"off", {false, "0.0.0.0", 8470, true, "", "", ""}, WebPlan::Off, ""},
        {"plain on the network",
         {true, "0.0.0.0", 8470, false, "", "", ""},
         WebPlan::Refused,
         "loopback"},
        {"plain on 127.0.0.5", {true, "127.0.0.5", 8470, false, "", "", ""}, WebPlan::Start, ""},
        {"plain on ::1", {true, "::1", 8470, false, "", "", ""}, WebPlan::Start, ""},
        {"plain on a name",
         {true, "localhost", 8470, false, "", "", ""},
         WebPlan::Refused,
         "loopback"},
        {"certificate without key",
         {true, "0.0.0.0", 8470, true, "/x.crt", "", ""},
         WebPlan::Refused,
         "KeyFile"},
        {"own pair", {true, "0.0.0.0", 443, true, "/x.crt", "/x.key", ""}, WebPlan::Start, ""},
    };
    for (const auto& c : cases) {
        HttpServerConfig planned;
        std::string reason;
        EXPECT_EQ(PlanWebService(c.settings, config, &planned, &reason), c.plan) << c.name;
        EXPECT_NE(reason.find(c.says), std::string::npos) << c.name << ": " << reason;
        if (c.plan == WebPlan::Start) {
            EXPECT_EQ(planned.address, c.settings.Address) << c.name;
            EXPECT_EQ(planned.port, c.settings.Port) << c.name;
            EXPECT_EQ(planned.tls, c.settings.Tls) << c.name;
            EXPECT_EQ(planned.certFile, c.settings.CertFile) << c.name;
        }
    }
}

TEST(WebSettings, MakesThePairBesideTheSettingsOnceAndReusesIt) {
    QTemporaryDir folder;
    const std::string config = folder.filePath("site.ini").toStdString();
    const WebSettings_Type settings{true, "0.0.0.0", 8470, true, "", "", ""};
    HttpServerConfig planned;
    std::string reason;
    ASSERT_EQ(PlanWebService(settings, config, &planned, &reason), WebPlan::Start) << reason;
    EXPECT_EQ(planned.certFile, folder.filePath("site-web.crt").toStdString());
    EXPECT_EQ(planned.keyFile, folder.filePath("site-web.key").toStdString());
    EXPECT_EQ(ModeOf(planned.keyFile), 0600u);
    const std::string cert = ReadAll(planned.certFile);
    const std::string key = ReadAll(planned.keyFile);

    HttpServerConfig again;
    ASSERT_EQ(PlanWebService(settings, config, &again, &reason), WebPlan::Start);
    EXPECT_EQ(ReadAll(again.certFile), cert) << "a trusted certificate must stay the same";
    EXPECT_EQ(ReadAll(again.keyFile), key);

    // It names the loopback address and is for servers (a browser or Prometheus checks both).
    FILE* file = fopen(planned.certFile.c_str(), "r");
    ASSERT_NE(file, nullptr);
    X509* x509 = PEM_read_X509(file, nullptr, nullptr, nullptr);
    fclose(file);
    ASSERT_NE(x509, nullptr);
    EXPECT_EQ(X509_check_ip_asc(x509, "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(x509, "localhost", 0, 0, nullptr), 1);
    EXPECT_TRUE(X509_get_extended_key_usage(x509) & XKU_SSL_SERVER);
    X509_free(x509);
}
