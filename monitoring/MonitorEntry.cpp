// The parts of the program's life that the headless monitor and the one with windows share.
#include "monitoring/MonitorEntry.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "monitoring/MonitorCore.h"
#include "notify/Eventlog.h"
#include "platform/EventSink.h"
#include "platform/InstanceLock.h"
#include "platform/MessageBox.h"
#include "platform/SignalBridge.h"

namespace {

const char* const AlreadyRunning = "The AVLO Monitor application is already running.";

// Qt's X11 platform ends the process with exit(1) when the connection to the display breaks
// (the X server went away, with the session or on its own): no event, no aboutToQuit, no
// return from exec(). What exit() still runs are the atexit handlers, on the
// thread that called it: Qt calls it from the main thread between two events, when the
// device table and the settings are whole, so the file can be saved there one last time.
std::atomic<CMonitorCore*> g_saveAtExit{nullptr};
std::atomic<std::thread::id> g_mainThread{};

void SaveAtExit() {
    // Anywhere but on the main thread the core may be in the middle of a change.
    if (std::this_thread::get_id() != g_mainThread.load()) return;
    if (CMonitorCore* core = g_saveAtExit.exchange(nullptr)) core->SaveBeforeExit();
}

// Arms the save at exit for the life of the core's run, that is until the shutdown sequence,
// which saves by itself.
class CSaveAtExit {
public:
    explicit CSaveAtExit(CMonitorCore* core) {
        static const bool registered = std::atexit(SaveAtExit) == 0;
        if (!registered) return;
        g_mainThread = std::this_thread::get_id();
        g_saveAtExit = core;
    }
    ~CSaveAtExit() { g_saveAtExit = nullptr; }
    CSaveAtExit(const CSaveAtExit&) = delete;
    CSaveAtExit& operator=(const CSaveAtExit&) = delete;
};

}  // namespace

void CEscapedException::Caught() {
    const std::string what = DescribeException(std::current_exception());
    if (failure_.empty())
        failure_ = what.empty() ? std::string("an exception without a text") : what;
    // Every running loop ends, nested ones (a box, a dialog) included.
    QCoreApplication::exit(FailureStatus);
}

std::string DescribeException(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an exception of an unknown kind";
    }
}

std::string FailureText(const std::string& what) {
    return "AVLO Monitor has stopped after an unexpected error: " + what;
}

void ReportStartupFailure(const std::string& what) {
    const std::string text = FailureText(what);
    ShowMessage(nullptr, MsgKind::Error, QStringLiteral("AVLO Monitor"),
                QString::fromStdString(text));
    const std::filesystem::path exe(ExecutablePath());
    CEventLog log("AVLO", (exe.parent_path() / "AvloEventMsg.dll").string());
    log.WriteEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE, text);
}

CInstanceLock::Folder LockFolderRule(const StartupOptions& options) {
    return options.lockGiven ? CInstanceLock::Folder::MustExist
                             : CInstanceLock::Folder::MakePrivate;
}

bool TakeInstanceLock(CInstanceLock& lock, int* status) {
    if (lock.Acquire()) return true;
    if (lock.LastRefusal() == CInstanceLock::Refusal::HeldByAnother) {
        ShowMessage(nullptr, MsgKind::Warning, QStringLiteral("AVLO Monitor"),
                    QString::fromUtf8(AlreadyRunning));
        *status = 0;
        return false;
    }
    // Not a second copy: without the lock nothing would keep one from starting later,
    // so the program does not run, and says why (a service manager sees the status).
    ShowMessage(nullptr, MsgKind::Error, QStringLiteral("AVLO Monitor"),
                QStringLiteral("AVLO Monitor cannot start: ") +
                    QString::fromStdString(lock.ErrorText()) + QStringLiteral("."));
    *status = CEscapedException::FailureStatus;
    return false;
}

int RunEventLoop(const CEscapedException& app, CMonitorCore& core,
                 const std::function<void()>& beforeLoop) {
    const CSaveAtExit saveAtExit(&core);
    CSignalBridge termination([&core](int) { core.EndProgram(); });
    if (beforeLoop) beforeLoop();
    // An error in an event handler while the monitor started ends the run before it begins.
    int status =
        app.Failure().empty() ? QCoreApplication::exec() : CEscapedException::FailureStatus;
    if (!app.Failure().empty()) {
        core.ReportProgramError(FailureText(app.Failure()), true);
        status = CEscapedException::FailureStatus;
    }
    return status;
}
