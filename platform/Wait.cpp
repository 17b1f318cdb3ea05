#include "platform/Wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/Event.h"

WaitItem WaitItem::Peek(CEvent& event) { return WaitItem{nullptr, event.Fd(), POLLIN}; }

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

WaitResult WaitForAny(std::initializer_list<WaitItem> items, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(items.size());
    for (const WaitItem& item : items) {
        const int fd = item.event ? item.event->Fd() : item.fd;
        if (fd < 0) return {WaitFailed, 0};
        fds.push_back(pollfd{fd, item.event ? static_cast<short>(POLLIN) : item.pollEvents, 0});
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        const int n = poll(fds.data(), fds.size(), wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {WaitFailed, 0};
        }
        if (n == 0) return {WaitTimeout, 0};
        int index = 0;
        for (const WaitItem& item : items) {
            const short revents = fds[index].revents;
            if (revents != 0) {
                // Another waiter may have taken an event's signal between poll and read.
                if (!item.event || item.event->TryConsume()) return {index, revents};
            }
            ++index;
        }
        if (timeoutMs >= 0 && RemainingMs(deadline) == 0) return {WaitTimeout, 0};
    }
}
