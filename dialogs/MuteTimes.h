#pragma once

// When a mute of a device's alerts ends, and how that end reads in the window. Pure: the caller
// passes the local time of now (the core's clock, LocalNow()); the process's time zone turns
// local times into moments.
#include <QString>
#include <cstdint>

#include "platform/Clock.h"

enum class MuteLength { OneHour, FourHours, UntilTomorrowMorning, UntilUnmuted };

// The moment (seconds since 1970, UTC) of a local date and time; in the hour that a change back
// from summer time repeats, the system's choice of the two.
std::int64_t MomentOf(const LocalDateTime& local);
// The next day's 08:00, local time: on a day that the clocks change, still 08:00 on the wall.
std::int64_t TomorrowMorning(const LocalDateTime& now);
// The end of a mute of that length chosen now; CMonitorCore::MutedIndefinitely until unmuted.
std::int64_t MuteEnd(MuteLength length, const LocalDateTime& now);
// How a mute reads: "muted until 14:30" while the end is today, "muted until Sat 12 Dec 08:00"
// on another day (with the year when it is another year), "muted" until unmuted; empty when
// not muted (0).
QString MuteText(std::int64_t mutedUntil, const LocalDateTime& now);
