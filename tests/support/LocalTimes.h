#pragma once

// A local date and time as the core's clock gives it, written in one line.
#include "platform/Clock.h"

inline LocalDateTime LocalAt(int year, int month, int day, int hour, int minute = 0,
                             int second = 0) {
    LocalDateTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
}
