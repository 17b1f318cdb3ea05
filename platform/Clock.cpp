#include "platform/Clock.h"

#include <ctime>
#include <mutex>
#include <utility>

namespace {

std::mutex overrideMutex;
std::function<LocalDateTime()> clockOverride;

LocalDateTime RealLocalNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    LocalDateTime now;
    now.year = tm.tm_year + 1900;
    now.month = tm.tm_mon + 1;
    now.day = tm.tm_mday;
    now.hour = tm.tm_hour;
    now.minute = tm.tm_min;
    now.second = tm.tm_sec;
    now.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    now.dayOfWeek = tm.tm_wday;
    return now;
}

}  // namespace

LocalDateTime LocalNow() {
    std::function<LocalDateTime()> now;
    {
        std::lock_guard lock(overrideMutex);
        now = clockOverride;
    }
    // Called outside the lock so that an override may itself read or replace the clock.
    return now ? now() : RealLocalNow();
}

void SetClockOverride(std::function<LocalDateTime()> now) {
    std::lock_guard lock(overrideMutex);
    clockOverride = std::move(now);
}
