#pragma once

// The menu of how long to mute a device's alerts, the same in the device list's context menu
// and in the properties dialog.
#include <cstdint>
#include <functional>

class QMenu;
class QWidget;

// "For 1 hour", "For 4 hours", "Until tomorrow 08:00", "Until unmuted": chosen gets the end of
// the mute (seconds since 1970, UTC, or CMonitorCore::MutedIndefinitely), reckoned from the
// core's clock at the moment of the choice.
QMenu* NewMuteMenu(QWidget* parent, std::function<void(std::int64_t until)> chosen);
