#pragma once

#include <optional>
#include <string>

// The figures of this process that a metrics scraper expects from every program it watches.
struct ProcessFigures {
    double CpuSeconds = 0;  // user and system time
    double ResidentBytes = 0;
    double VirtualBytes = 0;
    double OpenDescriptors = 0;
    double MaxDescriptors = 0;    // the soft limit
    double StartTimeSeconds = 0;  // since 1970 (UTC)
};

// Read from the kernel's view of the process; none when it cannot be read.
std::optional<ProcessFigures> ReadProcessFigures();
// The part that reads a process's stat line, given the kernel's units; for tests too.
std::optional<ProcessFigures> FiguresFromStat(const std::string& statLine, double ticksPerSecond,
                                              double pageBytes, double bootTimeSeconds);
