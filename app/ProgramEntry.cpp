#include "app/ProgramEntry.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSessionManager>
#include <QSplashScreen>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include "app/MainUnit.h"
#include "app/MessageBoxWindow.h"
#include "platform/InstanceLock.h"

namespace {

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
    painter.drawText(picture.rect().adjusted(0, -20, 0, -20), Qt::AlignCenter,
                     QStringLiteral("AVLO Monitor"));
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

// From the lock to the end of the shutdown sequence.
int RunMonitor(CMonitorApplication& app, const StartupOptions& options) {
    CInstanceLock lock(options.lockPath);
    int refused = 0;
    if (!TakeInstanceLock(lock, &refused)) return refused;

    ShowSplash();
    QApplication::setApplicationName(QStringLiteral("AVLO Monitor"));
    QApplication::setApplicationDisplayName(QStringLiteral("AVLO Monitor"));

    auto form = std::make_unique<TMainForm>(options);
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
