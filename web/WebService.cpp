#include "web/WebService.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QSysInfo>

#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "web/Authentication.h"
#include "web/DevicesJson.h"
#include "web/EventStream.h"
#include "web/EventStreamFeed.h"
#include "web/EventsApi.h"
#include "web/SiteSnapshot.h"
#include "web/SnapshotPublisher.h"
#include "web/WebRoutes.h"
#include "web/WebSettings.h"

// The accounts and who is signed in: kept while the service restarts, so that a change of
// port signs nobody out.
struct WebAccess {
    WebAccess(const std::string& path, PasswordCost cost, CAuthentication::Reporter report)
        : users(path, cost), authentication(users, sessions, throttle, std::move(report)) {}
    CUserStore users;
    CSessions sessions;
    CSignInThrottle throttle;
    CAuthentication authentication;
};

namespace {

std::string SignInText(const SignInAttempt& attempt) {
    const std::string who =
        "\"" + attempt.user + "\" from " + attempt.address + " (" + attempt.how + ")";
    if (attempt.accepted) return "Web sign-in: " + who;
    return "Web sign-in refused: " + who + ": " + attempt.reason;
}

QDateTime Stamp(const std::string& path) {
    const QFileInfo info(QString::fromStdString(path));
    return info.exists() ? info.lastModified() : QDateTime();
}

}  // namespace

std::string WebServiceUrl(const std::string& address, unsigned short port, bool tls) {
    std::string host = address;
    if (address == "0.0.0.0" || address == "::" || address.empty())
        host = QSysInfo::machineHostName().toStdString();
    else if (address.find(':') != std::string::npos)
        host = "[" + address + "]";
    return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/";
}

CWebService::CWebService(CMonitorCore& core, Tuning tuning, QObject* parent)
    : QObject(parent), core_(core), tuning_(std::move(tuning)) {
    connect(&core_, &CMonitorCore::SettingsLoaded, this, [this] {
        loaded_ = true;
        Check();
    });
    connect(&core_, &CMonitorCore::RecordsChanged, this, &CWebService::Check);
    checkTimer_.setInterval(tuning_.checkMs);
    connect(&checkTimer_, &QTimer::timeout, this, [this] {
        if (server_) ReloadAccountsIfChanged();
    });
    checkTimer_.start();
}

CWebService::~CWebService() {
    Stop();
}

unsigned short CWebService::Port() const {
    return server_ ? server_->Port() : 0;
}

void CWebService::Check() {
    if (!loaded_ || core_.Closing()) return;
    if (!applied_ || *applied_ != core_.WebSettings) Restart();
}

void CWebService::Restart() {
    Stop();
    applied_ = core_.WebSettings;
    if (applied_->On) Start();
}

void CWebService::Start() {
    HttpServerConfig config;
    std::string reason;
    const WebPlan plan = PlanWebService(*applied_, core_.ConfigPath(), &config, &reason);
    if (plan == WebPlan::Off) return;
    if (plan == WebPlan::Refused) return Fail(reason);
    config.limits = tuning_.limits;

    if (!access_) {
        // The history is written on the core's thread; a sign-in is checked on a server's.
        auto report = [this](const SignInAttempt& attempt) {
            QMetaObject::invokeMethod(this, [this, attempt] {
                core_.LogServiceEvent(
                    attempt.accepted ? EV_WEB_SIGN_IN : EV_WEB_SIGN_IN_REFUSED,
                    attempt.accepted ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                    SignInText(attempt));
            });
        };
        access_ = std::make_shared<WebAccess>(UsersFilePath(core_.ConfigPath()), tuning_.cost,
                                              std::move(report));
    }
    accountsStamp_ = QDateTime();
    ReloadAccountsIfChanged();

    publisher_ = std::make_unique<CSnapshotPublisher>(core_);
    hub_ = std::make_shared<CEventStream>();
    feed_ = std::make_unique<CEventStreamFeed>(core_, *hub_, [this](const CMonitorCore::Device& d) {
        return DeviceJson(TakeDeviceSnapshot(core_, d));
    });
    WebRoutesParts parts;
    CSnapshotPublisher* publisher = publisher_.get();
    parts.site = [publisher] { return publisher->Latest(); };
    parts.events = std::make_shared<const CEventsApi>(core_.HistoryPath());
    parts.hub = hub_;
    parts.authentication = std::shared_ptr<CAuthentication>(access_, &access_->authentication);
    parts.metricsToken = applied_->MetricsToken;
    parts.tls = config.tls;

    const bool tls = config.tls;
    auto server = std::make_unique<HttpServer>(config, std::make_shared<CWebRoutes>(parts));
    std::string error;
    if (!server->Start(&error)) {
        Stop();
        return Fail("The web service cannot start: " + error);
    }
    server_ = std::move(server);
    url_ = WebServiceUrl(config.address, server_->Port(), tls);
    emit Started(QString::fromStdString(url_));
}

void CWebService::Stop() {
    // The server first: its threads are the only readers of what follows.
    if (server_) server_->Stop();
    server_.reset();
    feed_.reset();
    hub_.reset();
    publisher_.reset();
    url_.clear();
}

void CWebService::Fail(const std::string& reason) {
    // Monitoring goes on; the record is tried again once it changes.
    core_.LogServiceEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE, reason);
}

void CWebService::ReloadAccountsIfChanged() {
    // Accounts added with --add-user while the monitor runs count from the next look.
    const QDateTime stamp = Stamp(access_->users.Path());
    if (stamp == accountsStamp_ && stamp.isValid()) return;
    accountsStamp_ = stamp;
    std::string failure;
    if (!access_->users.Load(&failure)) Fail("The web service's accounts: " + failure);
}
