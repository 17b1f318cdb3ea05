#pragma once

#include <cstdint>

// The receiver of window messages: the main window, or a test's queue. Worker threads call
// Post from any thread; the message is handled later on the receiver's own thread, in the
// order of posting. A call from the receiver's own thread may be handled at once.
class IMessageTarget {
public:
    virtual ~IMessageTarget() = default;
    virtual void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) = 0;
};
