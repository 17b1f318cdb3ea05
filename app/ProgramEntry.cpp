#include "app/ProgramEntry.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSessionManager>
#include <QSplashScreen>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/MainUnit.h"
#include "app/MessageBoxWindow.h"
#include "notify/Eventlog.h"
#include "platform/EventSink.h"
#include "platform/InstanceLock.h"
#include "platform/MessageBox.h"
#include "platform/SignalBridge.h"

namespace {

const char* const AlreadyRunning = "The AVLO Monitor application is already running.";

bool HasDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return (platform && *platform) || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

QPixmap SplashPicture() {
    QPixmap picture(360, 180);
    picture.fill(QColor(24, 48, 96));
    QPainter painter(&picture);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPointSize(22);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(picture.rect().adjusted(0, -20, 0, -20), Qt::AlignCenter, QStringLiteral("AVLO Monitor"));
    font.setPointSize(10);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(picture.rect().adjusted(0, 50, 0, 50), Qt::AlignCenter,
                     QStringLiteral("Watching your Velkan amplifiers"));
    return picture;
}

// The splash is shown for a fixed two seconds before the main window is built.
void ShowSplash() {
    QSplashScreen splash(SplashPicture());
    splash.show();
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    splash.close();
}

// Qt's X11 platform ends the process with exit(1) when the connection to the display breaks
// (the X server went away, with the session or on its own): no event, no aboutToQuit, no
// return from exec(). What exit() still runs are the atexit handlers, on the
// thread that called it: Qt calls it from the main thread between two events, when the
// device table and the settings are whole, so the file can be saved there one last time.
std::atomic<TMainForm*> g_saveAtExit{nullptr};
std::atomic<std::thread::id> g_mainThread{};

void SaveAtExit() {
    // Anywhere but on the main thread the form may be in the middle of a change.
    if (std::this_thread::get_id() != g_mainThread.load()) return;
    if (TMainForm* form = g_saveAtExit.exchange(nullptr)) form->SaveBeforeExit();
}

// Arms the save at exit for the life of the form's run, that is until the shutdown sequence,
// which saves by itself.
class CSaveAtExit {
public:
    explicit CSaveAtExit(TMainForm* form) {
        static const bool registered = std::atexit(SaveAtExit) == 0;
        if (!registered) return;
        g_mainThread = std::this_thread::get_id();
        g_saveAtExit = form;
    }
    ~CSaveAtExit() { g_saveAtExit = nullptr; }
    CSaveAtExit(const CSaveAtExit&) = delete;
    CSaveAtExit& operator=(const CSaveAtExit&) = delete;
};

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

// An error before the main window exists: nothing has been read yet, so logging is on, as
// it is by default.
void ReportStartupFailure(const std::string& what) {
    const std::string text = FailureText(what);
    ShowMessage(nullptr, MsgKind::Error, QStringLiteral("AVLO Monitor"),
                QString::fromStdString(text));
    const std::filesystem::path exe(ExecutablePath());
    CEventLog log("AVLO", (exe.parent_path() / "AvloEventMsg.dll").string());
    log.WriteEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE, text);
}

// From the lock to the end of the shutdown sequence.
int RunMonitor(CMonitorApplication& app, const StartupOptions& options) {
    CInstanceLock lock(options.lockPath);
    if (!lock.Acquire()) {
        if (lock.LastRefusal() == CInstanceLock::Refusal::HeldByAnother) {
            ShowMessage(nullptr, MsgKind::Warning, QStringLiteral("AVLO Monitor"),
                        QString::fromUtf8(AlreadyRunning));
            return 0;
        }
        // Not a second copy: without the lock nothing would keep one from starting later,
        // so the program does not run, and says why (a service manager sees the status).
        ShowMessage(nullptr, MsgKind::Error, QStringLiteral("AVLO Monitor"),
                    QStringLiteral("AVLO Monitor cannot start: ") +
                        QString::fromStdString(lock.ErrorText()) + QStringLiteral("."));
        return CMonitorApplication::FailureStatus;
    }

    std::unique_ptr<CStderrEchoSink> echo;
    if (options.headless) {
        echo = std::make_unique<CStderrEchoSink>(ProcessEventSink());
        SetProcessEventSink(echo.get());
    } else {
        ShowSplash();
    }
    struct CRestoreSink {
        ~CRestoreSink() { SetProcessEventSink(nullptr); }
    } restoreSink;
    QApplication::setApplicationName(QStringLiteral("AVLO Monitor"));
    QApplication::setApplicationDisplayName(QStringLiteral("AVLO Monitor"));

    auto form = std::make_unique<TMainForm>(options);
    int status = 0;
    {
        const CSaveAtExit saveAtExit(form.get());
        // A desktop session that ends asks its programs to save first; the process may be
        // killed soon after, or lose its display, before the loop ends.
        TMainForm* const f = form.get();
        QObject::connect(
            &app, &QGuiApplication::commitDataRequest, f,
            [f](QSessionManager&) { f->SaveBeforeExit(); }, Qt::DirectConnection);
        QObject::connect(
            &app, &QGuiApplication::saveStateRequest, f,
            [f](QSessionManager&) { f->SaveBeforeExit(); }, Qt::DirectConnection);
        CSignalBridge termination([f](int) { f->EndProgram(); });
        if (!options.headless) form->show();
        // An error in an event handler while the window was built ends the run before it begins.
        status = app.Failure().empty() ? app.exec() : CMonitorApplication::FailureStatus;
        if (!app.Failure().empty()) {
            form->ReportProgramError(FailureText(app.Failure()), true);
            status = CMonitorApplication::FailureStatus;
        }
    }
    form.reset();  // the shutdown sequence
    return status;
}

}  // namespace

CMonitorApplication::CMonitorApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool CMonitorApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        const std::string what = DescribeException(std::current_exception());
        if (failure_.empty())
            failure_ = what.empty() ? std::string("an exception without a text") : what;
        // Every running loop ends, nested ones (a box, a dialog) included.
        QCoreApplication::exit(FailureStatus);
    }
    return false;
}

int RunProgram(const StartupOptions& options, int& argc, char** argv) {
    if (options.headless) {
        // The same monitor without a window: Qt's widgets still need a platform, so the
        // offscreen one stands in for the display.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else if (!HasDisplay()) {
        std::fprintf(stderr,
                     "AVLO Monitor needs a display. Start it in a desktop session, under a "
                     "virtual display (xvfb-run avlo-monitor ...), or without windows with "
                     "--headless.\n");
        return 2;
    }

    CMonitorApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    MessageBoxSeam::SetHeadless(options.headless);
    if (!options.headless) InstallMessageBoxWindows();
    try {
        return RunMonitor(app, options);
    } catch (...) {
        ReportStartupFailure(DescribeException(std::current_exception()));
    }
    return CMonitorApplication::FailureStatus;
}
