#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "web/SteadyNow.h"

// Slows down password guessing from one address: after five failed sign-ins within a minute,
// each further try from there must wait, 1 s after the fifth failure, doubling with each
// failure up to 30 s. A right password, or a minute without a failure, ends the slow-down.
// Tries are refused before their time without looking at the password, so that waiting ties
// up no thread of the server. Thread-safe.
class CSignInThrottle {
public:
    static constexpr int FreeFailures = 5;
    static constexpr std::chrono::seconds Window{60};
    static constexpr std::chrono::seconds LongestWait{30};
    // Beyond this many addresses the quietest ones are forgotten, so that a flood of addresses
    // cannot grow memory without end.
    static constexpr std::size_t MaxAddresses = 10000;

    explicit CSignInThrottle(SteadyNow now = SystemSteadyNow());

    // How long the address must still wait before its next try is looked at; zero when it
    // may try now.
    std::chrono::milliseconds WaitFor(const std::string& address);
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Record {
        std::deque<std::chrono::steady_clock::time_point> recent;  // the last failures
        int streak = 0;  // failures of the slow-down so far; 0: not slowed down
    };

    static std::chrono::milliseconds Delay(int streak);
    void Forget(std::chrono::steady_clock::time_point now);

    SteadyNow now_;
    std::mutex mutex_;
    std::unordered_map<std::string, Record> records_;
};
