#include "dialogs/MuteTimes.h"

#include <QDateTime>
#include <QLocale>
#include <ctime>

#include "monitoring/MonitorCore.h"

namespace {

std::tm TmOf(const LocalDateTime& local) {
    std::tm tm{};
    tm.tm_year = local.year - 1900;
    tm.tm_mon = local.month - 1;
    tm.tm_mday = local.day;
    tm.tm_hour = local.hour;
    tm.tm_min = local.minute;
    tm.tm_sec = local.second;
    tm.tm_isdst = -1;  // whatever the zone has on that day
    return tm;
}

}  // namespace

std::int64_t MomentOf(const LocalDateTime& local) {
    std::tm tm = TmOf(local);
    return static_cast<std::int64_t>(std::mktime(&tm));
}

std::int64_t TomorrowMorning(const LocalDateTime& now) {
    std::tm tm = TmOf(now);
    // mktime carries the 32nd of a month over into the next, and finds the offset of that day.
    tm.tm_mday += 1;
    tm.tm_hour = 8;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

std::int64_t MuteEnd(MuteLength length, const LocalDateTime& now) {
    switch (length) {
        case MuteLength::OneHour:
            return MomentOf(now) + 3600;
        case MuteLength::FourHours:
            return MomentOf(now) + 4 * 3600;
        case MuteLength::UntilTomorrowMorning:
            return TomorrowMorning(now);
        case MuteLength::UntilUnmuted:
            break;
    }
    return CMonitorCore::MutedIndefinitely;
}

QString MuteText(std::int64_t mutedUntil, const LocalDateTime& now) {
    if (mutedUntil == 0) return QString();
    if (mutedUntil == CMonitorCore::MutedIndefinitely) return QStringLiteral("muted");
    std::tm end{};
    const auto seconds = static_cast<std::time_t>(mutedUntil);
    localtime_r(&seconds, &end);
    const QDateTime at(QDate(end.tm_year + 1900, end.tm_mon + 1, end.tm_mday),
                       QTime(end.tm_hour, end.tm_min));
    // English words whatever the desktop's language, as every other text of the window.
    const QLocale english(QLocale::English, QLocale::UnitedKingdom);
    QString format = QStringLiteral("HH:mm");
    if (end.tm_year + 1900 != now.year) {
        format = QStringLiteral("ddd d MMM yyyy HH:mm");
    } else if (end.tm_mon + 1 != now.month || end.tm_mday != now.day) {
        format = QStringLiteral("ddd d MMM HH:mm");
    }
    return QStringLiteral("muted until ") + english.toString(at, format);
}
