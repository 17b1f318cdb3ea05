#include "app/ProgramEntry.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSplashScreen>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/MainUnit.h"
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

}  // namespace

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

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    MessageBoxSeam::SetHeadless(options.headless);

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
        return 1;
    }

    std::unique_ptr<CStderrEchoSink> echo;
    if (options.headless) {
        echo = std::make_unique<CStderrEchoSink>(ProcessEventSink());
        SetProcessEventSink(echo.get());
    } else {
        ShowSplash();
    }
    QApplication::setApplicationName(QStringLiteral("AVLO Monitor"));
    QApplication::setApplicationDisplayName(QStringLiteral("AVLO Monitor"));

    auto form = std::make_unique<TMainForm>(options);
    CSignalBridge termination([&form](int) { form->EndProgram(); });
    if (!options.headless) form->show();
    app.exec();
    form.reset();  // the shutdown sequence
    SetProcessEventSink(nullptr);
    return 0;
}
