#pragma once

#include <chrono>
#include <functional>

// The clock that sessions and the sign-in throttle measure time with: the steady clock in use,
// one that tests turn by hand.
using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

inline SteadyNow SystemSteadyNow() {
    return [] { return std::chrono::steady_clock::now(); };
}
