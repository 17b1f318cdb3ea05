// The notification-area icon's picture and hint, from the states of the monitored devices.
#include "app/TrayState.h"

#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/DeviceStateLook.h"

namespace {

QString Counted(int n, const char* words) {
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(words);
}

// The program's icon with a badge in its lower right corner, large enough to tell warning
// from error at the 16-pixel size of most notification areas.
QIcon WithBadge(const QIcon& base, const QIcon& badge) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pm = base.pixmap(size, size);
        if (pm.isNull()) continue;
        const int badgeSize = (size * 5 + 4) / 8;
        QPainter painter(&pm);
        painter.drawPixmap(size - badgeSize, size - badgeSize, badge.pixmap(badgeSize, badgeSize));
        painter.end();
        icon.addPixmap(pm);
    }
    return icon;
}

}  // namespace

TrayLevel TrayTally::Level() const {
    if (Faults > 0) return TrayLevel::Error;
    if (NotConnected > 0) return TrayLevel::Warning;
    return TrayLevel::Normal;
}

QString TrayTally::Hint() const {
    QString hint = QStringLiteral("AVLO Monitor");
    QStringList wrong;
    if (Faults > 0) wrong << Counted(Faults, Faults == 1 ? "fault" : "faults");
    if (NotConnected > 0) wrong << Counted(NotConnected, "not connected");
    if (!wrong.isEmpty()) hint += QLatin1Char('\n') + wrong.join(QStringLiteral(", "));
    return hint;
}

TrayTally TallyDevices(const std::vector<std::unique_ptr<CMca::DeviceDescr_Type>>& devices) {
    TrayTally tally;
    for (const auto& device : devices) {
        switch (LookOf(*device)) {
            case DeviceLook::Fault:
                ++tally.Faults;
                break;
            case DeviceLook::NotConnected:
                ++tally.NotConnected;
                break;
            case DeviceLook::Ok:
            case DeviceLook::Pending:  // connected; its first status is a moment away
            case DeviceLook::Off:
                break;
        }
    }
    return tally;
}

TTrayLook::TTrayLook(QSystemTrayIcon* tray, const Devices& devices, const QIcon& base,
                     const TStateIcons& icons)
    : tray_(tray), devices_(devices), timer_(std::make_unique<QTimer>()) {
    variants_[static_cast<int>(TrayLevel::Normal)] = base;
    variants_[static_cast<int>(TrayLevel::Warning)] =
        WithBadge(base, icons.Get(TStateIcons::WarningPicture));
    variants_[static_cast<int>(TrayLevel::Error)] =
        WithBadge(base, icons.Get(TStateIcons::ErrorPicture));
    timer_->setSingleShot(true);
    timer_->setInterval(0);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { ShowNow(); });
    tray_->setIcon(Icon(level_));
}

TTrayLook::~TTrayLook() = default;

void TTrayLook::Update() {
    if (!timer_->isActive()) timer_->start();
}

void TTrayLook::ShowNow() {
    timer_->stop();
    const TrayTally tally = TallyDevices(devices_);
    // Only real changes reach the tray: each one may travel to the desktop's panel.
    if (tally.Level() != level_) {
        level_ = tally.Level();
        tray_->setIcon(Icon(level_));
    }
    const QString hint = tally.Hint();
    if (tray_->toolTip() != hint) tray_->setToolTip(hint);
}
