#pragma once

// The JSON of GET /api/devices (every device, in the list's order) and /api/devices/{id}.
// What depends on a status (mode, channels, rails, operating time) is null while the
// device's current status is not known; moments are ISO 8601 in UTC.
#include <QByteArray>
#include <QJsonObject>
#include <cstdint>
#include <optional>

#include "web/SiteSnapshot.h"

QJsonObject DeviceJson(const DeviceSnapshot& device);
QByteArray DevicesJson(const SiteSnapshot& site);
// None when no device has that id.
std::optional<QByteArray> DeviceJsonById(const SiteSnapshot& site, std::uint16_t id);
