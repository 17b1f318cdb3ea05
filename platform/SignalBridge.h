#pragma once

#include <signal.h>

#include <QObject>
#include <functional>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP are what Linux sends where Windows ended the log-on session (a
// service manager, Ctrl+C, a closed terminal or session); they must lead into the normal
// shutdown on the GUI thread. The handler only writes the signal number
// as one byte into a socketpair; a QSocketNotifier on the other end reads it in the event loop
// and calls onSignal there. Nothing else may run inside a signal handler.
//
// One bridge at a time: the handler finds its socket through a process-wide descriptor. A
// second bridge made while one is installed installs nothing (Installed() is false).
class CSignalBridge : public QObject {
public:
    // onSignal runs on the thread that owns the bridge (the GUI thread), from its event loop,
    // once per signal received. It may destroy the bridge.
    explicit CSignalBridge(std::function<void(int signalNumber)> onSignal,
                           QObject* parent = nullptr);
    // Puts back the handlers that were in place before; signals not yet dispatched are dropped.
    ~CSignalBridge() override;
    CSignalBridge(const CSignalBridge&) = delete;
    CSignalBridge& operator=(const CSignalBridge&) = delete;

    bool Installed() const { return installed_; }

private:
    void OnReadable();
    void Uninstall();

    std::function<void(int)> onSignal_;
    int writeFd_ = -1;
    int readFd_ = -1;
    static constexpr int SignalCount = 3;
    struct sigaction previous_[SignalCount] {};
    QSocketNotifier* notifier_ = nullptr;
    bool installed_ = false;
};
