#pragma once

#include <QApplication>
#include <string>

#include "platform/StartupOptions.h"

// The application object of the program. An exception that escapes an event handler must not
// end the process unseen, nor unwind through Qt's event loop, which is not made for it: it is
// caught where Qt hands the event over, remembered, and the event loop is told to end with a
// failure status, so that the normal shutdown still runs and a service manager sees the
// failure.
class CMonitorApplication : public QApplication {
public:
    static constexpr int FailureStatus = 1;

    CMonitorApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // The first exception's text, empty while none has escaped a handler.
    const std::string& Failure() const { return failure_; }

private:
    std::string failure_;
};

// The program's life from the single-instance check to the end of the event loop. Returns the
// process's exit status: 0 after a normal end, non-zero after an error.
int RunProgram(const StartupOptions& options, int& argc, char** argv);
