#include "web/EventJson.h"

#include <QJsonValue>
#include <QString>

#include "platform/EventSink.h"

namespace {

// Texts come from devices and servers: bytes that are not UTF-8 become U+FFFD instead of
// making the document invalid.
QJsonValue Text(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue DeviceField(const EventRecord& r, const std::string& value) {
    return r.device.empty() ? QJsonValue(QJsonValue::Null) : Text(value);
}

}  // namespace

QJsonObject EventJson(const EventRecord& r) {
    QJsonObject json;
    json.insert(QStringLiteral("id"), r.rowId > 0 ? QJsonValue(static_cast<qint64>(r.rowId))
                                                  : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("time"), Text(UtcTimeText(r.timeUs)));
    json.insert(QStringLiteral("type"), QString::fromLatin1(KindWord(KindOfType(r.type))));
    json.insert(QStringLiteral("event"), QString::fromLatin1(EventName(r.eventId)));
    json.insert(QStringLiteral("eventId"), static_cast<qint64>(r.eventId));
    json.insert(QStringLiteral("device"), DeviceField(r, r.device));
    json.insert(QStringLiteral("address"), DeviceField(r, r.address));
    json.insert(QStringLiteral("serial"), DeviceField(r, r.serial));
    json.insert(QStringLiteral("text"), Text(r.text));
    return json;
}
