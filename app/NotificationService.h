#pragma once

// The desktop's notification service (org.freedesktop.Notifications on the session bus). Many
// desktops, Debian's GNOME among them, have no notification area, so notifications sent
// through a tray icon never appear there; the service is what every desktop shell provides.
#include <QByteArray>
#include <QDBusConnection>
#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

class QDBusArgument;
class QDBusMessage;

// The picture of a notification as the service takes it ("image-data", signature iiibiiay).
struct NotificationImage {
    int Width = 0;
    int Height = 0;
    int RowStride = 0;
    bool HasAlpha = true;
    int BitsPerSample = 8;
    int Channels = 4;
    QByteArray Data;

    static NotificationImage FromImage(const QImage& image);
};
Q_DECLARE_METATYPE(NotificationImage)
QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& image);
const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage& image);

class TNotificationService : public QObject {
    Q_OBJECT
public:
    static constexpr const char* Service = "org.freedesktop.Notifications";
    static constexpr const char* Path = "/org/freedesktop/Notifications";
    // The icon name the package installs, and the desktop entry the notifications belong to.
    static constexpr const char* IconName = "avlo-monitor";
    // A service that does not answer within this time is taken as absent.
    static constexpr int ReplyTimeoutMs = 5000;

    struct Message {
        QString Summary;
        QString Body;
        bool Critical = false;
    };

    // picture: sent along while the desktop's icon theme has no icon of the program's name
    // (a copy run from its build folder); opened: the user clicked one of these notifications.
    TNotificationService(QDBusConnection bus, const QImage& picture, std::function<void()> opened,
                         QObject* parent = nullptr);

    // The desktop session's bus, where the session has one; never one started for this
    // program (a bus started for an X display outlives the program).
    static QDBusConnection SessionBus();

    // Never waits for the service: fallback runs later, once it is clear that no service took
    // the message (or at once, without a session bus). A device's notification replaces the
    // one still on the screen for the same device, so a recovery takes the place of its fault.
    void Show(const Message& message, std::optional<std::uint16_t> device,
              std::function<void()> fallback);

private slots:
    // Slots by name: Qt D-Bus connects bus signals only so. The message tells who sent it,
    // since any program on the bus may send these.
    void ActionInvoked(uint id, const QString& action, const QDBusMessage& signal);
    void NotificationClosed(uint id, uint reason, const QDBusMessage& signal);

private:
    // A notification as the service knows it: the service's unique bus name, and its number.
    using Shown = std::pair<QString, uint>;

    void Notify(const Message& message, std::optional<std::uint16_t> device, bool markup,
                const QString& owner, const std::function<void()>& fallback);

    QDBusConnection bus_;
    NotificationImage picture_;
    bool sendPicture_ = false;
    std::function<void()> opened_;
    std::set<Shown> live_;
    std::map<std::uint16_t, Shown> byDevice_;
};
