#pragma once

#include <initializer_list>

class CEvent;

// One thing a worker waits for: an auto-reset event, or readiness of a socket.
struct WaitItem {
    static WaitItem Of(CEvent& event) { return WaitItem{&event, -1, 0}; }
    static WaitItem Socket(int fd, short pollEvents) { return WaitItem{nullptr, fd, pollEvents}; }
    // An event that wakes the wait but is not consumed by it (the stop event of a phase
    // whose caller checks the stop request itself).
    static WaitItem Peek(CEvent& event);

    CEvent* event;
    int fd;
    short pollEvents;
};

constexpr int WaitTimeout = -1;
constexpr int WaitFailed = -2;

struct WaitResult {
    int index;          // index of the first ready item, WaitTimeout or WaitFailed
    short socketEvents; // poll revents of that item when it is a socket
};

// Waits until one of the items is ready or timeoutMs passes (negative: no limit). As with
// a wait on several Windows event objects, the lowest ready index wins and only that
// event's signal is consumed.
WaitResult WaitForAny(std::initializer_list<WaitItem> items, int timeoutMs);
