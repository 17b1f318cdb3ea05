#pragma once

// A history event as the JSON API and the live stream show it: the same object in both, so a
// client that lists /api/events and then follows /api/stream reads one shape.
#include <QJsonObject>

#include "history/EventStore.h"

// {"id", "time" (UTC, ISO 8601 with microseconds), "type" ("error", "warning",
// "information"), "event" (its name), "eventId", "device", "address", "serial" (null for an
// event about no single device), "text"}. "id" is the history's own number of the event,
// the order /api/events pages by; it is null for an event the writer has not kept yet.
QJsonObject EventJson(const EventRecord& record);
