#include "web/WebRoutes.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <cctype>
#include <charconv>
#include <cstdint>

#include "web/DevicesJson.h"
#include "web/MetricsPage.h"

namespace {

constexpr std::string_view DevicesPrefix = "/api/devices/";

WebResponse JsonResponse(int status, QByteArray body) {
    WebResponse response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = body.toStdString();
    return response;
}

WebResponse JsonError(int status, const QString& why) {
    return JsonResponse(status,
                        QJsonDocument(QJsonObject{{"error", why}}).toJson(QJsonDocument::Compact));
}

WebResponse MethodNotAllowed(const char* allow) {
    WebResponse response = TextResponse(405, "Method not allowed");
    response.headers.emplace_back("Allow", allow);
    return response;
}

bool IsApi(const std::string& path) {
    return path == "/api" || path.rfind("/api/", 0) == 0;
}

// The methods a known path takes, or null for an unknown one. HEAD goes with every GET: the
// server sends the GET's header without its body.
const char* AllowedMethods(const std::string& path) {
    if (path == "/metrics" || path == "/api/devices" || path == "/api/events" ||
        path == "/api/stream")
        return "GET, HEAD";
    if (path == "/api/session") return "POST, DELETE";
    if (path.size() > DevicesPrefix.size() && path.rfind(DevicesPrefix, 0) == 0)
        return "GET, HEAD";
    return nullptr;
}

bool Allows(std::string_view allowed, std::string_view method) {
    while (!allowed.empty()) {
        const std::size_t comma = allowed.find(", ");
        if (allowed.substr(0, comma) == method) return true;
        allowed = comma == std::string_view::npos ? std::string_view() : allowed.substr(comma + 2);
    }
    return false;
}

void AddSecurityHeaders(const WebRequest& request, bool tls, WebResponse& response) {
    if (IsApi(request.path)) {
        response.headers.emplace_back("Cache-Control", "no-store");
        response.headers.emplace_back("Content-Security-Policy", "default-src 'none'");
    }
    if (tls) response.headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
}

WebResponse Unauthorized(const char* text) {
    WebResponse response = TextResponse(401, text);
    response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"AVLO Monitor\"");
    return response;
}

// What the refusal of an identification looks like on the wire; nullopt when signed in.
std::optional<WebResponse> Refusal(const AuthResult& result) {
    switch (result.outcome) {
        case AuthOutcome::SignedIn:
            return std::nullopt;
        case AuthOutcome::NoAccounts:
            return TextResponse(403, std::string(NoAccountsText));
        case AuthOutcome::Throttled: {
            WebResponse response = TextResponse(429, "Too many failed sign-ins; try again later");
            const auto seconds = (result.retryAfter.count() + 999) / 1000;
            response.headers.emplace_back("Retry-After", std::to_string(seconds));
            return response;
        }
        case AuthOutcome::Refused:
            return Unauthorized("Wrong user name or password");
        case AuthOutcome::NotSignedIn:
            break;
    }
    return Unauthorized("Sign-in required");
}

struct Credentials {
    std::string user;
    std::string password;
};

// The sign-in form's fields, sent as JSON or form-encoded; nullopt with *why when unreadable.
std::optional<Credentials> ReadCredentials(const WebRequest& request, QString* why) {
    const std::string type = request.Header("Content-Type");
    if (type.rfind("application/x-www-form-urlencoded", 0) == 0) {
        QString body = QString::fromStdString(request.body);
        body.replace('+', ' ');
        const QUrlQuery form(body);
        return Credentials{form.queryItemValue("user", QUrl::FullyDecoded).toStdString(),
                           form.queryItemValue("password", QUrl::FullyDecoded).toStdString()};
    }
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *why = QStringLiteral("The body is not a JSON object");
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (!object.value("user").isString() || !object.value("password").isString()) {
        *why = QStringLiteral("\"user\" and \"password\" must be strings");
        return std::nullopt;
    }
    return Credentials{object.value("user").toString().toStdString(),
                       object.value("password").toString().toStdString()};
}

QByteArray Sha256(std::string_view text) {
    return QCryptographicHash::hash(QByteArrayView(text.data(), qsizetype(text.size())),
                                    QCryptographicHash::Sha256);
}

// The stream of one client: its own subscription to the hub for as long as it is open.
class CHubStream : public IWebStream {
public:
    explicit CHubStream(std::shared_ptr<CEventStream> hub) : hub_(std::move(hub)) {}
    ~CHubStream() override {
        if (subscriber_) hub_->Unsubscribe(subscriber_);
    }
    void Start(std::function<void()> wake) override { subscriber_ = hub_->Subscribe(wake); }
    std::string Take(bool* finished) override {
        std::string text = subscriber_ ? subscriber_->Take() : std::string();
        *finished = subscriber_ && subscriber_->Dropped() && text.empty();
        return text;
    }

private:
    std::shared_ptr<CEventStream> hub_;
    std::shared_ptr<CStreamSubscriber> subscriber_;
};

}  // namespace

bool BearerMatches(std::string_view authorization, const std::string& token) {
    constexpr std::string_view scheme = "Bearer ";
    if (authorization.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) !=
            std::tolower(static_cast<unsigned char>(scheme[i])))
            return false;
    }
    // Digests of equal length, compared without an early end: neither the time nor the
    // length of the comparison says how much of a guess was right.
    const QByteArray given = Sha256(authorization.substr(scheme.size()));
    const QByteArray wanted = Sha256(token);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ wanted[i]);
    return difference == 0;
}

WebResponse CWebRoutes::Handle(const WebRequest& request) {
    WebResponse response = Route(request);
    AddSecurityHeaders(request, parts_.tls, response);
    return response;
}

bool CWebRoutes::Quick(const WebRequest& request) const {
    return request.path == "/metrics";
}

WebResponse CWebRoutes::Route(const WebRequest& request) {
    const char* allowed = AllowedMethods(request.path);
    if (!allowed) return TextResponse(404, "Not found");
    if (!Allows(allowed, request.method)) return MethodNotAllowed(allowed);
    if (request.path == "/metrics") return Metrics(request);
    if (request.path == "/api/session" && request.method == "POST") return SignIn(request);
    if (request.path == "/api/session") return SignOut(request);
    return Api(request);
}

WebResponse CWebRoutes::Metrics(const WebRequest& request) {
    if (!parts_.metricsToken.empty() &&
        !BearerMatches(request.Header("Authorization"), parts_.metricsToken)) {
        WebResponse response = TextResponse(401, "A bearer token is required");
        response.headers.emplace_back("WWW-Authenticate", "Bearer");
        return response;
    }
    WebResponse response;
    response.headers.emplace_back("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    response.body = metrics_.Page(parts_.site(), ReadProcessFigures());
    return response;
}

WebResponse CWebRoutes::Api(const WebRequest& request) {
    const AuthResult who = parts_.authentication->Identify(
        request.Header("Cookie"), request.Header("Authorization"), request.peerAddress);
    if (auto refused = Refusal(who)) return std::move(*refused);
    if (request.path == "/api/events") {
        const JsonReply reply = parts_.events->Get(request.query);
        return JsonResponse(reply.status, reply.body);
    }
    if (request.path == "/api/stream") return Stream();
    return Devices(request.path);
}

WebResponse CWebRoutes::SignIn(const WebRequest& request) {
    QString why;
    const auto credentials = ReadCredentials(request, &why);
    if (!credentials) return JsonError(400, why);
    const AuthResult result = parts_.authentication->SignIn(
        credentials->user, credentials->password, request.peerAddress);
    if (auto refused = Refusal(result)) return std::move(*refused);
    WebResponse response =
        JsonResponse(200, QJsonDocument(QJsonObject{{"user", QString::fromStdString(result.user)},
                                                    {"role", UserRoleName(result.role)}})
                              .toJson(QJsonDocument::Compact));
    response.headers.emplace_back("Set-Cookie", result.setCookie);
    return response;
}

WebResponse CWebRoutes::SignOut(const WebRequest& request) {
    WebResponse response;
    response.status = 204;
    response.headers.emplace_back("Set-Cookie",
                                  parts_.authentication->SignOut(request.Header("Cookie")));
    return response;
}

WebResponse CWebRoutes::Devices(const std::string& path) {
    const std::shared_ptr<const SiteSnapshot> site = parts_.site();
    if (path == "/api/devices") return JsonResponse(200, DevicesJson(*site));
    const std::string_view idText = std::string_view(path).substr(DevicesPrefix.size());
    std::uint16_t id = 0;
    const auto [end, error] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (error != std::errc() || end != idText.data() + idText.size())
        return JsonError(404, QStringLiteral("No such device"));
    auto body = DeviceJsonById(*site, id);
    if (!body) return JsonError(404, QStringLiteral("No such device"));
    return JsonResponse(200, std::move(*body));
}

WebResponse CWebRoutes::Stream() {
    WebResponse response;
    response.headers.emplace_back("Content-Type", "text/event-stream");
    response.stream = std::make_shared<CHubStream>(parts_.hub);
    return response;
}
