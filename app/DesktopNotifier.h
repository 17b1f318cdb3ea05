#pragma once

// Desktop notifications of new faults and of recoveries, so that a person at the desk learns
// of a problem within a poll without opening the window and without e-mail.
#include <QString>
#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "monitoring/AlertNotice.h"
#include "monitoring/DeviceRecord.h"

class CMonitorCore;
class QDBusConnection;
class QImage;
class QTimer;
class TNotificationService;

struct DesktopNotification {
    QString Title;
    QString Text;
    QSystemTrayIcon::MessageIcon Icon = QSystemTrayIcon::Information;
};

namespace NotifySeam {

// Tests: while on, nothing reaches the desktop and every notification is recorded instead.
// Switching capture on or off forgets what was recorded.
void Capture(bool on);
// What was recorded since the last call, oldest first.
std::vector<DesktopNotification> TakeShown();

}  // namespace NotifySeam

class TDesktopNotifier {
public:
    // Notifications go to the desktop's notification service on bus, with picture; where no
    // service answers, to the notification-area icon. opened: the user clicked one.
    TDesktopNotifier(const CMonitorCore& core, QSystemTrayIcon* tray, const QDBusConnection& bus,
                     const QImage& picture, std::function<void()> opened);
    ~TDesktopNotifier();

    // The device's row shows its new texts. Nothing is told of a device whose alerts are
    // muted (CMonitorCore::AlertsMuted), neither its faults nor its recoveries.
    void DeviceShown(const CMca::DeviceDescr_Type& device);
    // An alert the core raised beyond a row's condition: a device not reachable for its
    // minutes (the core raises none for a muted device). Fault alerts are told from the rows,
    // and a notice that problems cleared is the "back to OK" of Flush(), so neither comes twice.
    void AlertRaised(std::uint16_t deviceId, const AlertNotice& notice);
    // Tells what changed since the gathering began.
    void Flush();

    // The replies to one poll arrive one by one, within moments of each other; they are
    // gathered this long, so that each device is told of once and a burst comes as one.
    int GatherMs = 1500;
    // From this many devices at once, one summary instead of one notification each.
    static constexpr int SummaryFrom = 3;
    // Where a notification goes when no notification service takes it; tests look here, as
    // the offscreen platform has no notification area.
    std::function<void(const DesktopNotification&)> ShowInTray;

private:
    using Device = CMca::DeviceDescr_Type;
    // One notification per device, or one summary ("<count><summaryWords>", the names) for a
    // burst; each in the list's order.
    void Tell(std::vector<const Device*> devices, const QString& summaryWords,
              const std::function<DesktopNotification(const Device&)>& one);
    // device: the one it is about, whose earlier notification it replaces; none for a summary.
    void Show(const DesktopNotification& notification, std::optional<std::uint16_t> device);

    const CMonitorCore& core_;
    std::unique_ptr<TNotificationService> service_;
    // Per device: whether the last thing told about it was a fault. A device not yet told of
    // counts as OK, so a fault in its first status is news and an OK one is not.
    std::map<std::uint16_t, bool> toldFault_;
    std::set<std::uint16_t> changed_;
    std::unique_ptr<QTimer> timer_;
};
