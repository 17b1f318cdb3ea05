#pragma once

#include <QCoreApplication>
#include <exception>
#include <functional>
#include <string>

#include "platform/InstanceLock.h"
#include "platform/StartupOptions.h"

class CMonitorCore;
class QEvent;
class QObject;

// An exception that escapes an event handler must not end the process unseen, nor unwind
// through Qt's event loop, which is not made for it: it is caught where Qt hands the event
// over, remembered, and the event loop is told to end with a failure status, so that the
// normal shutdown still runs and a service manager sees the failure.
class CEscapedException {
public:
    static constexpr int FailureStatus = 1;
    // The first exception's text, empty while none has escaped a handler.
    const std::string& Failure() const { return failure_; }

protected:
    // Called inside the catch block of notify(): keeps the text and ends every running loop.
    void Caught();

private:
    std::string failure_;
};

// The application object with that catch, on top of the Qt application class QtApp
// (QCoreApplication for the headless monitor, QApplication for the one with windows).
template <class QtApp>
class TCatchingApplication : public QtApp, public CEscapedException {
public:
    TCatchingApplication(int& argc, char** argv) : QtApp(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QtApp::notify(receiver, event);
        } catch (...) {
            Caught();
        }
        return false;
    }
};

using CMonitorCoreApplication = TCatchingApplication<QCoreApplication>;

std::string DescribeException(std::exception_ptr error);
std::string FailureText(const std::string& what);
// An error before the monitor exists: nothing has been read yet, so logging is on, as it is
// by default. Shown as a box (standard error without windows) and logged.
void ReportStartupFailure(const std::string& what);

// The single-instance lock for the run, or the reason the program does not run: true to go
// on; otherwise *status is the exit status and the user has been told.
bool TakeInstanceLock(CInstanceLock& lock, int* status);
// The default lock's folder is the program's to make, privately; a --lock-file's is not.
CInstanceLock::Folder LockFolderRule(const StartupOptions& options);

// Runs the event loop of a started monitor to its end, with the save at exit armed and the
// termination signals leading into the normal end; returns the exit status. beforeLoop runs
// once everything is armed (the window shows itself there).
int RunEventLoop(const CEscapedException& app, CMonitorCore& core,
                 const std::function<void()>& beforeLoop = {});
