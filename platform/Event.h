#pragma once

// An auto-reset event object: Set() signals it, and the one wait that sees it signalled
// consumes the signal. Backed by an eventfd so that it can be waited on with poll()
// together with sockets.
class CEvent {
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    bool IsValid() const { return fd_ >= 0; }
    void Set();
    void Reset();
    // Consumes the signal if the event is signalled; returns whether it was.
    bool TryConsume();
    int Fd() const { return fd_; }

private:
    int fd_;
};
