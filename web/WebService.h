#pragma once

// The web service as the monitor runs it: lives on the core's thread, starts when the core's
// settings are loaded and the "Web" record says so, starts again when the record changes
// (the options dialog writes it as every page writes its record; the core's change check
// tells of it), and stops before the core shuts down. Requests are answered on the server's own threads; on the core's thread it only
// publishes snapshots, feeds the live stream and logs.

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "monitoring/MonitorCore.h"
#include "web/HttpServer.h"
#include "web/UserStore.h"

class CEventStream;
class CEventStreamFeed;
class CSnapshotPublisher;
struct WebAccess;

class CWebService : public QObject {
    Q_OBJECT

public:
    // Tests shorten the server's limits and cheapen the hash of names without an account.
    struct Tuning {
        WebLimits limits;
        PasswordCost cost = PasswordCost::Interactive();
        int checkMs = 500;  // how often the accounts file is looked at
    };

    explicit CWebService(CMonitorCore& core, QObject* parent = nullptr)
        : CWebService(core, Tuning{}, parent) {}
    CWebService(CMonitorCore& core, Tuning tuning, QObject* parent = nullptr);
    ~CWebService() override;

    bool Running() const { return server_ != nullptr; }
    unsigned short Port() const;
    // The address to open in a browser, "https://HOST:8470/"; empty while not running.
    std::string Url() const { return url_; }

signals:
    // The service listens (again): url is the address to open.
    void Started(const QString& url);

private:
    void Check();
    void Restart();
    void Start();
    void Stop();
    void Fail(const std::string& reason);
    void ReloadAccountsIfChanged();

    CMonitorCore& core_;
    const Tuning tuning_;
    QTimer checkTimer_;
    bool loaded_ = false;  // the core's settings are loaded: the record means something
    std::optional<WebSettings_Type> applied_;  // what the service last started (or tried) with
    std::shared_ptr<WebAccess> access_;
    QDateTime accountsStamp_;
    std::unique_ptr<CSnapshotPublisher> publisher_;
    std::shared_ptr<CEventStream> hub_;
    std::unique_ptr<CEventStreamFeed> feed_;
    std::unique_ptr<HttpServer> server_;
    std::string url_;
};

// The address a browser opens for a service listening on address:port: the machine's host
// name for an address of every interface, brackets around IPv6.
std::string WebServiceUrl(const std::string& address, unsigned short port, bool tls);
