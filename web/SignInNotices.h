#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

#include "web/SteadyNow.h"

// One sign-in or refusal, for the history.
struct SignInAttempt {
    bool accepted = false;
    std::string user;     // as given, for a refusal too
    std::string address;  // the peer's
    std::string how;      // "form" or "basic"
    std::string reason;   // why refused; empty when accepted
};

// Which sign-ins reach the history. HTTP Basic signs in on every request, so a script that
// polls each second would otherwise write an event each second: a Basic sign-in is noted once
// per user and address until that pair has gone unused for QuietGap. Refusals come in series
// (the same address, way and reason), noted once until the series has been quiet for
// QuietGap, so guessing cannot flood the history either; the slow-down still counts each try.
// A form sign-in that succeeds is always noted: each is someone opening a session.
// Thread-safe.
class CSignInNotices {
public:
    static constexpr std::chrono::minutes QuietGap{30};
    // Beyond this many series the quiet ones are forgotten, then the quietest.
    static constexpr std::size_t MaxSeries = 10000;

    explicit CSignInNotices(SteadyNow now = SystemSteadyNow());

    // Whether attempt starts a series and goes to the history; either way it keeps its series
    // going.
    bool Note(const SignInAttempt& attempt);

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void MakeRoom(TimePoint now);

    SteadyNow now_;
    std::mutex mutex_;
    std::unordered_map<std::string, TimePoint> lastSeen_;  // by series
};
