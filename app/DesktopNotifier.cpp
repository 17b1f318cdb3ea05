// Desktop notifications: the seam that tests capture, the choice of what to tell, and where it
// goes.
#include "app/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QImage>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <mutex>
#include <utility>

#include "app/DeviceStateLook.h"
#include "app/NotificationService.h"
#include "monitoring/MonitorCore.h"
#include "platform/PrintableText.h"

namespace {

struct SeamState {
    std::mutex mutex;
    bool capture = false;
    std::vector<DesktopNotification> shown;
};

SeamState& State() {
    static SeamState state;
    return state;
}

using Device = CMca::DeviceDescr_Type;

QString Names(const std::vector<const Device*>& devices) {
    QStringList names;
    for (const Device* device : devices) names << QString::fromStdString(device->Name);
    return names.join(QStringLiteral(", "));
}

}  // namespace

namespace NotifySeam {

void Capture(bool on) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.capture = on;
    state.shown.clear();
}

std::vector<DesktopNotification> TakeShown() {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    return std::exchange(state.shown, {});
}

}  // namespace NotifySeam

TDesktopNotifier::TDesktopNotifier(const CMonitorCore& core, QSystemTrayIcon* tray,
                                   const QDBusConnection& bus, const QImage& picture,
                                   std::function<void()> opened)
    : ShowInTray([tray](const DesktopNotification& notification) {
          tray->showMessage(notification.Title, notification.Text, notification.Icon);
      }),
      core_(core),
      service_(std::make_unique<TNotificationService>(bus, picture, std::move(opened))),
      timer_(std::make_unique<QTimer>()) {
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { Flush(); });
    QObject::connect(&core_, &CMonitorCore::AlertRaised, timer_.get(),
                     [this](std::uint16_t deviceId, const AlertNotice& notice) {
                         AlertRaised(deviceId, notice);
                     });
}

void TDesktopNotifier::AlertRaised(std::uint16_t deviceId, const AlertNotice& notice) {
    const bool unreachable = notice.What == AlertNotice::Kind::Alert &&
                             notice.Problems == std::vector<std::string>{"unreachable"};
    if (!unreachable || !core_.Options.Notify) return;
    QString text = QString::fromStdString(notice.DeviceName + " (" + notice.Address + ")") +
                   QStringLiteral(": no status");
    if (notice.Since != 0) {
        text += QStringLiteral(" since ") +
                QDateTime::fromSecsSinceEpoch(notice.Since).toString(QStringLiteral("HH:mm"));
    }
    Show({QString::fromStdString(notice.Subject), text, QSystemTrayIcon::Warning}, deviceId);
}

TDesktopNotifier::~TDesktopNotifier() = default;

void TDesktopNotifier::Tell(std::vector<const Device*> devices, const QString& summaryWords,
                            const std::function<DesktopNotification(const Device&)>& one) {
    if (devices.empty()) return;
    std::sort(devices.begin(), devices.end(),
              [](const Device* a, const Device* b) { return a->ListIndex < b->ListIndex; });
    if (static_cast<int>(devices.size()) < SummaryFrom) {
        for (const Device* device : devices) Show(one(*device), device->DeviceId);
        return;
    }
    DesktopNotification summary = one(*devices.front());
    summary.Title = QString::number(devices.size()) + summaryWords;
    summary.Text = Names(devices);
    Show(summary, std::nullopt);
}

void TDesktopNotifier::Show(const DesktopNotification& told, std::optional<std::uint16_t> device) {
    // Titles and texts quote what devices sent; the desktop shows them as they come.
    const auto printable = [](const QString& text) {
        return QString::fromStdString(PrintableText(text.toStdString(), "\n"));
    };
    const DesktopNotification notification{printable(told.Title), printable(told.Text), told.Icon};
    {
        SeamState& state = State();
        std::lock_guard lock(state.mutex);
        if (state.capture) {
            state.shown.push_back(notification);
            return;
        }
    }
    const TNotificationService::Message message{notification.Title, notification.Text,
                                                notification.Icon == QSystemTrayIcon::Warning ||
                                                    notification.Icon == QSystemTrayIcon::Critical};
    service_->Show(message, device, [this, notification] { ShowInTray(notification); });
}

void TDesktopNotifier::DeviceShown(const Device& device) {
    // Only a known condition is news: a device that loses its connection, or is unticked,
    // has not recovered nor failed, and its next known condition is compared with the last
    // one told.
    const DeviceLook look = LookOf(device);
    if (look != DeviceLook::Ok && look != DeviceLook::Fault) return;
    const auto told = toldFault_.find(device.DeviceId);
    const bool toldFault = told != toldFault_.end() && told->second;
    if ((look == DeviceLook::Fault) == toldFault) return;
    changed_.insert(device.DeviceId);
    if (!timer_->isActive()) timer_->start(GatherMs);
}

void TDesktopNotifier::Flush() {
    timer_->stop();
    std::vector<const Device*> onsets;
    std::vector<const Device*> recoveries;
    for (std::uint16_t id : std::exchange(changed_, {})) {
        const Device* device = core_.FindDeviceById(id);
        if (device == nullptr) continue;
        // What the device shows now: a fault that cleared again while gathering is no news.
        const DeviceLook look = LookOf(*device);
        if (look != DeviceLook::Ok && look != DeviceLook::Fault) continue;
        const bool fault = look == DeviceLook::Fault;
        bool& toldFault = toldFault_[id];
        if (fault == toldFault) continue;
        toldFault = fault;
        // A muted device's changes are taken as told, so that its unmute brings up nothing
        // old; they are logged and shown in the list all the same.
        if (core_.AlertsMuted(*device)) continue;
        (fault ? onsets : recoveries).push_back(device);
    }
    std::erase_if(toldFault_, [this](const auto& entry) {
        return core_.FindDeviceById(entry.first) == nullptr;
    });
    // With the option off the changes are still taken as told: turning it on later does not
    // bring up what is long past.
    if (!core_.Options.Notify) return;

    const auto fault = [this](const Device& device) -> DesktopNotification {
        return {QString::fromStdString(core_.AlertSubject(device, device.Status)),
                QString::fromStdString(device.Condition), QSystemTrayIcon::Warning};
    };
    const auto recovery = [](const Device& device) -> DesktopNotification {
        return {QString::fromStdString(device.Name) + QStringLiteral(": back to OK"), QString(),
                QSystemTrayIcon::Information};
    };
    Tell(onsets, QStringLiteral(" devices report faults"), fault);
    Tell(recoveries, QStringLiteral(" devices back to OK"), recovery);
}
