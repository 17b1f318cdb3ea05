#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>
#include <mutex>

#include "web/HttpServer.h"
#include "web/SelfSignedCert.h"

// A handler that answers every request with what it was asked, and remembers the last one.
class EchoHandler : public IWebHandler {
public:
    WebResponse Handle(const WebRequest& request) override {
        {
            std::lock_guard guard(lock);
            last = request;
        }
        if (request.path == "/throw") throw std::runtime_error("handler failed");
        WebResponse response;
        response.status = request.path == "/missing" ? 404 : 200;
        response.headers.emplace_back("Content-Type", "text/plain");
        response.headers.emplace_back("X-Path", request.path);
        response.body = request.method + " " + request.path + " " + request.query + " " +
                        std::to_string(request.body.size());
        return response;
    }
    WebRequest Last() {
        std::lock_guard guard(lock);
        return last;
    }

    std::mutex lock;
    WebRequest last;
};

// A started service on a free loopback port, with a certificate made for the test.
class WebServerTest : public ::testing::Test {
protected:
    void StartServer(WebLimits limits = {}, bool tls = true,
                     std::shared_ptr<IWebHandler> handler = nullptr) {
        ASSERT_TRUE(folder.isValid());
        certs = SelfSignedCertPaths(folder.filePath("avlo-monitor.ini").toStdString());
        std::string error;
        ASSERT_TRUE(EnsureSelfSignedCert(certs, &error)) << error;
        echo = std::make_shared<EchoHandler>();
        HttpServerConfig config;
        config.address = "127.0.0.1";
        config.port = 0;
        config.tls = tls;
        config.certFile = certs.certFile;
        config.keyFile = certs.keyFile;
        config.limits = limits;
        server = std::make_unique<HttpServer>(config, handler ? handler : echo);
        ASSERT_TRUE(server->Start(&error)) << error;
        port = server->Port();
    }

    QTemporaryDir folder;
    CertPaths certs;
    std::shared_ptr<EchoHandler> echo;
    std::unique_ptr<HttpServer> server;
    unsigned short port = 0;
};
