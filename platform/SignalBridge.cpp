#include "platform/SignalBridge.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <utility>
#include <vector>

namespace {

const int Handled[] = {SIGTERM, SIGINT, SIGHUP};

// The handler may only touch a lock-free atomic; a mutex is not async-signal-safe.
std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void OnTerminationSignal(int signalNumber) {
    const int savedErrno = errno;  // the interrupted code may be about to read errno
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full socket (thousands of undispatched signals) just drops this one.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

bool SetHandler(int signalNumber, struct sigaction* previous) {
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // blocking calls elsewhere carry on instead of failing EINTR
    return sigaction(signalNumber, &action, previous) == 0;
}

}  // namespace

CSignalBridge::CSignalBridge(std::function<void(int signalNumber)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
    writeFd_ = fds[0];
    readFd_ = fds[1];

    int none = -1;
    if (!g_writeFd.compare_exchange_strong(none, writeFd_)) {  // another bridge is installed
        Uninstall();
        return;
    }
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &CSignalBridge::OnReadable);

    static_assert(std::size(Handled) == SignalCount);
    for (int i = 0; i < SignalCount; ++i) {
        if (SetHandler(Handled[i], &previous_[i])) continue;
        while (i-- > 0) sigaction(Handled[i], &previous_[i], nullptr);
        g_writeFd.store(-1);
        Uninstall();
        return;
    }
    installed_ = true;
}

CSignalBridge::~CSignalBridge() {
    if (installed_) {
        for (int i = SignalCount; i-- > 0;) sigaction(Handled[i], &previous_[i], nullptr);
        g_writeFd.store(-1);
        installed_ = false;
    }
    Uninstall();
}

void CSignalBridge::Uninstall() {
    delete notifier_;
    notifier_ = nullptr;
    if (writeFd_ >= 0) ::close(writeFd_);
    if (readFd_ >= 0) ::close(readFd_);
    writeFd_ = readFd_ = -1;
}

void CSignalBridge::OnReadable() {
    // Drain first: the callback may destroy this bridge, and with it the socket.
    std::vector<int> received;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: drained
        }
    }
    const QPointer<CSignalBridge> alive(this);
    for (const int signalNumber : received) {
        if (!alive) return;
        // A copy: the bridge, and the function it holds, may be gone when the call returns.
        const std::function<void(int)> onSignal = onSignal_;
        if (onSignal) onSignal(signalNumber);
    }
}
