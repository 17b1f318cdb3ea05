#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One message about a device for the routes beside e-mail (webhooks, desktop): an alert of a
// problem, a notice that problems cleared, or a test of a route.
struct AlertNotice {
    enum class Kind { Alert, Notice, Test };
    Kind What = Kind::Alert;
    std::string DeviceName;
    std::string Address;
    std::string Serial;
    std::string Model;
    // The problems in short words ("fan", "channel", "temperature", "current", "supply",
    // "unreachable").
    std::vector<std::string> Problems;
    // Since when the problems stand (seconds since 1970, UTC); 0: not known.
    std::int64_t Since = 0;
    std::string Subject;  // as the e-mail's subject
    std::string Text;     // the message in a few lines of plain text
};
