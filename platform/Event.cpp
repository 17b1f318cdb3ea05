#include "platform/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

CEvent::CEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CEvent::~CEvent() {
    if (fd_ >= 0) close(fd_);
}

void CEvent::Set() {
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void CEvent::Reset() { TryConsume(); }

bool CEvent::TryConsume() {
    if (fd_ < 0) return false;
    std::uint64_t value = 0;
    ssize_t n;
    do {
        n = read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value) && value > 0;
}
