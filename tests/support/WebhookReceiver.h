#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "integration/SmtpSink.h"

// tests/integration/webhook_receiver.py as a receiver on 127.0.0.1 (plain HTTP or, given a
// certificate, HTTPS) that stores what it is sent; stopped, and its folder removed, when the
// object goes. Proxy settings of the environment are cleared: the client must reach the
// receiver itself, never a proxy.
class WebhookReceiver {
public:
    struct Request {
        std::string Path;
        QJsonObject Headers;  // names in lower case
        std::string Body;
    };

    // mode: "ok", "status:N" or "hang" (see the script).
    explicit WebhookReceiver(const std::string& mode,
                             const smtpsink::Certificates* certificates = nullptr) {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
            unsetenv(name);
        }
        char folder[] = "/tmp/avlo-webhook-XXXXXX";
        if (!mkdtemp(folder)) return;
        folder_ = folder;
        std::vector<std::string> args{smtpsink::Python, Script(), "serve",
                                      "127.0.0.1",      folder_,  mode};
        if (certificates) {
            args.insert(args.end(),
                        {"--cert", certificates->Chain(), "--key", certificates->Key()});
        }
        child_.emplace(args);
        if (!child_->Started()) return;
        const std::string line = child_->Read(std::chrono::seconds(20), true);
        port_ = std::atoi(line.c_str());
    }
    ~WebhookReceiver() {
        child_.reset();
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;

    bool Running() const { return port_ > 0; }
    int Port() const { return port_; }
    std::string Url(const std::string& scheme = "http", const std::string& host = "127.0.0.1",
                    const std::string& path = "/hook") const {
        return scheme + "://" + host + ":" + std::to_string(port_) + path;
    }

    // Connections accepted so far.
    int Connections() const {
        std::ifstream in(folder_ + "/connections");
        int n = 0;
        std::string line;
        while (std::getline(in, line)) ++n;
        return n;
    }
    std::vector<Request> Requests() const {
        std::vector<Request> requests;
        for (int n = 1;; ++n) {
            QFile file(QString::fromStdString(folder_ + "/" + std::to_string(n) + ".json"));
            if (!file.open(QIODevice::ReadOnly)) break;
            const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
            const QByteArray body = QByteArray::fromHex(o.value("body").toString().toLatin1());
            requests.push_back({o.value("path").toString().toStdString(),
                                o.value("headers").toObject(), body.toStdString()});
        }
        return requests;
    }

    static std::string Script() {
        if (const char* root = std::getenv("AVLO_SOURCE_DIR")) {
            return std::string(root) + "/tests/integration/webhook_receiver.py";
        }
        return std::filesystem::path(__FILE__).parent_path().parent_path() /
               "integration/webhook_receiver.py";
    }

    // Python's strict JSON parser on the text: its compact rendering, or nullopt when the text
    // is not JSON.
    static std::optional<std::string> StrictJson(const std::string& text) {
        char name[] = "/tmp/avlo-webhook-json-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return std::nullopt;
        const bool written =
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        std::optional<std::string> out;
        if (written) {
            smtpsink::Child checker({smtpsink::Python, Script(), "check-json", name});
            const std::string printed = checker.Read(std::chrono::seconds(20));
            if (checker.Wait(std::chrono::seconds(20)) == 0) out = printed;
        }
        unlink(name);
        return out;
    }

private:
    std::string folder_;
    std::optional<smtpsink::Child> child_;
    int port_ = 0;
};
