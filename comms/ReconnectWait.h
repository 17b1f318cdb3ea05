#pragma once

#include <chrono>

// How long a connection thread waits before its next attempt once a link is lost. A link
// that goes down soon after it was made (a peer that accepts and closes at once, or a device
// that another monitor keeps taking over) is a failure like a refused connect: each one in a
// row doubles the wait, up to the longest; a link that lived resets it. Reconnecting at once
// would turn such a peer into thousands of connections, events and history rows a second.
class CReconnectWait {
public:
    using Clock = std::chrono::steady_clock;

    // firstMs: the wait after a link that lived, and after the first short one; longestMs:
    // the most it grows to; livedMs: how long a link must last to count as one that lived.
    CReconnectWait(int firstMs, int longestMs, int livedMs);

    // The poll interval was changed: later waits grow up to the new longest.
    void SetLongest(int longestMs);

    // A new link is up.
    void Connected(Clock::time_point now);
    // Whether the link made last has lasted long enough to count as one that lived.
    bool Lived(Clock::time_point now) const;
    // The link made last went down: the wait before the next attempt, in milliseconds.
    int Lost(Clock::time_point now);
    // Whether the links lately lost were short-lived ones, with none that lived since.
    bool Failing() const { return shortLinks_ > 0; }

private:
    int firstMs_;
    int longestMs_;
    int livedMs_;
    int shortLinks_ = 0;
    Clock::time_point connectedAt_{};
};
