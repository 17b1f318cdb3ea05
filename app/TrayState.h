#pragma once

// The notification-area icon as a summary of the site: its picture shows the worst state of
// the monitored devices, its hint how many have a fault and how many are not connected.
#include <QIcon>
#include <QString>
#include <memory>
#include <vector>

#include "monitoring/DeviceRecord.h"

class QSystemTrayIcon;
class QTimer;
class TStateIcons;

enum class TrayLevel { Normal, Warning, Error };

struct TrayTally {
    int Faults = 0;        // devices whose status shows a fault
    int NotConnected = 0;  // monitored devices without a connection
    TrayLevel Level() const;
    // "AVLO Monitor", and on a second line what is wrong, when anything is.
    QString Hint() const;
};

// Devices with AVLO unticked are not monitored and count for nothing.
TrayTally TallyDevices(const std::vector<std::unique_ptr<CMca::DeviceDescr_Type>>& devices);

class TTrayLook {
public:
    using Devices = std::vector<std::unique_ptr<CMca::DeviceDescr_Type>>;
    // base: the program's own icon, which the variants carry with a badge.
    TTrayLook(QSystemTrayIcon* tray, const Devices& devices, const QIcon& base,
              const TStateIcons& icons);
    ~TTrayLook();

    // Something in the table changed: the icon follows once the change is complete (one
    // refresh rewrites every row, and the picture must not flicker through the rows between).
    void Update();
    void ShowNow();

    TrayLevel Level() const { return level_; }
    const QIcon& Icon(TrayLevel level) const { return variants_[static_cast<int>(level)]; }

private:
    QSystemTrayIcon* tray_;
    const Devices& devices_;
    QIcon variants_[3];
    TrayLevel level_ = TrayLevel::Normal;
    std::unique_ptr<QTimer> timer_;
};
