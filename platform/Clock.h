#pragma once

#include <functional>

// The local date and time broken into fields, as the Windows SYSTEMTIME carried them:
// month 1-12, dayOfWeek 0 = Sunday.
struct LocalDateTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    int dayOfWeek = 0;
};

// The current local time, or the override's answer when one is set.
LocalDateTime LocalNow();

// Lets a test fix the time that LocalNow() reports; an empty function restores the real
// clock. Set it before the code under test starts reading the clock.
void SetClockOverride(std::function<LocalDateTime()> now);
