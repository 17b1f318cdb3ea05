// Notifications through the desktop's notification service, without ever waiting for it: every
// call is asynchronous and its answer decides, later, whether the fallback has to show it.
#include "app/NotificationService.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QStringList>
#include <QVariantMap>

namespace {

const char* const Interface = "org.freedesktop.Notifications";
const char* const DefaultAction = "default";

enum Urgency : uchar { Normal = 1, Critical = 2 };

QDBusMessage Call(const char* method) {
    return QDBusMessage::createMethodCall(QString::fromLatin1(TNotificationService::Service),
                                          QString::fromLatin1(TNotificationService::Path),
                                          QString::fromLatin1(Interface),
                                          QString::fromLatin1(method));
}

// done gets the answer, or the error that stands in for it, from the event loop.
void OnAnswer(QObject* context, const QDBusPendingCall& call,
              std::function<void(const QDBusMessage&)> done) {
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done = std::move(done)] {
                         watcher->deleteLater();
                         done(watcher->reply());
                     });
}

}  // namespace

NotificationImage NotificationImage::FromImage(const QImage& image) {
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    NotificationImage result;
    result.Width = rgba.width();
    result.Height = rgba.height();
    result.RowStride = static_cast<int>(rgba.bytesPerLine());
    result.Data = QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                             static_cast<qsizetype>(rgba.sizeInBytes()));
    return result;
}

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& image) {
    argument.beginStructure();
    argument << image.Width << image.Height << image.RowStride << image.HasAlpha
             << image.BitsPerSample << image.Channels << image.Data;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage& image) {
    argument.beginStructure();
    argument >> image.Width >> image.Height >> image.RowStride >> image.HasAlpha >>
        image.BitsPerSample >> image.Channels >> image.Data;
    argument.endStructure();
    return argument;
}

QDBusConnection TNotificationService::SessionBus() {
    // Where libdbus finds a session's bus; without either it would launch one of its own.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
        (!runtime.isEmpty() && QFileInfo(QFile::decodeName(runtime + "/bus")).exists())) {
        return QDBusConnection::sessionBus();
    }
    return QDBusConnection(QStringLiteral("no session bus"));
}

TNotificationService::TNotificationService(QDBusConnection bus, const QImage& picture,
                                           std::function<void()> opened, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      picture_(NotificationImage::FromImage(picture)),
      sendPicture_(!picture.isNull() && !QIcon::hasThemeIcon(QString::fromLatin1(IconName))),
      opened_(std::move(opened)) {
    qDBusRegisterMetaType<NotificationImage>();
    if (!bus_.isConnected()) return;
    // Any sender: the service may come and go, and the signals are checked against the
    // notifications each owner of the name has shown.
    const QString path = QString::fromLatin1(Path);
    const QString interface = QString::fromLatin1(Interface);
    bus_.connect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                 SLOT(ActionInvoked(uint, QString, QDBusMessage)));
    bus_.connect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                 SLOT(NotificationClosed(uint, uint, QDBusMessage)));
}

void TNotificationService::Show(const Message& message, std::optional<std::uint16_t> device,
                                std::function<void()> fallback) {
    if (!bus_.isConnected()) {
        fallback();
        return;
    }
    // Asked at every notification: the answer also tells whether a service is there now, and
    // which one, as it may have been replaced since the last notification. A service reads
    // the body as markup only when it says so; otherwise escapes would show as they are.
    OnAnswer(this, bus_.asyncCall(Call("GetCapabilities"), ReplyTimeoutMs),
             [this, message, device, fallback](const QDBusMessage& answer) {
                 if (answer.type() != QDBusMessage::ReplyMessage) {
                     fallback();
                     return;
                 }
                 const QStringList capabilities = answer.arguments().value(0).toStringList();
                 Notify(message, device, capabilities.contains(QStringLiteral("body-markup")),
                        answer.service(), fallback);
             });
}

void TNotificationService::Notify(const Message& message, std::optional<std::uint16_t> device,
                                  bool markup, const QString& owner,
                                  const std::function<void()>& fallback) {
    // A number belongs to the service that gave it: one started anew does not know it.
    const auto before = device ? byDevice_.find(*device) : byDevice_.end();
    const bool replace =
        before != byDevice_.end() && before->second.first == owner && live_.count(before->second);
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue<uchar>(message.Critical ? Critical : Normal));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(IconName));
    if (sendPicture_) hints.insert(QStringLiteral("image-data"), QVariant::fromValue(picture_));

    QDBusMessage call = Call("Notify");
    call << QStringLiteral("AVLO Monitor") << (replace ? before->second.second : 0u)
         << QString::fromLatin1(IconName) << message.Summary
         << (markup ? message.Body.toHtmlEscaped() : message.Body)
         << QStringList{QString::fromLatin1(DefaultAction), QStringLiteral("Open")} << hints << -1;
    OnAnswer(this, bus_.asyncCall(call, ReplyTimeoutMs),
             [this, device, fallback](const QDBusMessage& answer) {
                 if (answer.type() != QDBusMessage::ReplyMessage) {
                     fallback();
                     return;
                 }
                 const Shown shown{answer.service(), answer.arguments().value(0).toUInt()};
                 live_.insert(shown);
                 if (device) byDevice_[*device] = shown;
             });
}

void TNotificationService::ActionInvoked(uint id, const QString& action,
                                         const QDBusMessage& signal) {
    if (action != QLatin1String(DefaultAction)) return;
    if (live_.count(Shown{signal.service(), id}) && opened_) opened_();
}

void TNotificationService::NotificationClosed(uint id, uint /*reason*/,
                                              const QDBusMessage& signal) {
    const Shown closed{signal.service(), id};
    live_.erase(closed);
    std::erase_if(byDevice_, [&closed](const auto& entry) { return entry.second == closed; });
}
