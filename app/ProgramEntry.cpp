#include "app/ProgramEntry.h"

#include <QApplication>
#include <QSessionManager>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "app/MainUnit.h"
#include "app/MessageBoxWindow.h"
#include "app/Splash.h"
#include "headless/HeadlessEntry.h"
#include "platform/InstanceLock.h"

namespace {

bool HasDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return (platform && *platform) || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// From the lock to the end of the shutdown sequence.
int RunMonitor(CMonitorApplication& app, const StartupOptions& options) {
    CInstanceLock lock(options.lockPath, LockFolderRule(options));
    int refused = 0;
    if (!TakeInstanceLock(lock, &refused)) return refused;

    ShowSplashScreen();
    NameApplication();

    auto form = std::make_unique<TMainForm>(options);
    form->CreateAboutBox();
    // A desktop session that ends asks its programs to save first; the process may be
    // killed soon after, or lose its display, before the loop ends.
    CMonitorCore* const core = &form->Core();
    QObject::connect(
        &app, &QGuiApplication::commitDataRequest, core,
        [core](QSessionManager&) { core->SaveBeforeExit(); }, Qt::DirectConnection);
    QObject::connect(
        &app, &QGuiApplication::saveStateRequest, core,
        [core](QSessionManager&) { core->SaveBeforeExit(); }, Qt::DirectConnection);
    const int status = RunEventLoop(app, *core, [&form] { form->show(); });
    form.reset();  // the shutdown sequence
    return status;
}

}  // namespace

void NameApplication() {
    // No display name: Qt would append it to every caption (" — AVLO Monitor"), and the
    // captions are the windows' own, exactly; the small condition window has no room for it.
    QApplication::setApplicationName(QStringLiteral("AVLO Monitor"));
}

int RunProgram(const StartupOptions& options, int& argc, char** argv) {
    // The same monitor without a window needs no display, nor any of the windowing libraries.
    if (options.headless) return RunHeadless(options, argc, argv);
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "AVLO Monitor needs a display. Start it in a desktop session, under a "
                     "virtual display (xvfb-run avlo-monitor ...), or without windows with "
                     "--headless.\n");
        return 2;
    }

    CMonitorApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    InstallMessageBoxWindows();
    try {
        return RunMonitor(app, options);
    } catch (...) {
        ReportStartupFailure(DescribeException(std::current_exception()));
    }
    return CMonitorApplication::FailureStatus;
}
