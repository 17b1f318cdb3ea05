#include "app/Splash.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QThread>

#include "dialogs/DialogParts.h"

// The resource initialiser lives outside any namespace, as Qt's macro requires.
void LoadProgramPictures() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(AboutAndSplash);
        return true;
    }();
    (void)loaded;
}

TSplashScreenForm::TSplashScreenForm() {
    LoadProgramPictures();
    setObjectName(QStringLiteral("SplashScreenForm"));
    // The picture is two pixels larger than the window each way; its right and bottom edge
    // are cut off, as the window always showed it.
    const QPixmap picture =
        RenderPicture(QStringLiteral(":/app/pictures/splash.svg"), QSize(450, 260));
    setPixmap(picture.copy(0, 0, 448, 258));
    setFixedSize(448, 258);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void ShowSplashScreen(int ms) {
    TSplashScreenForm splash;
    splash.show();
    QApplication::processEvents();
    QElapsedTimer shown;
    shown.start();
    while (shown.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        QThread::msleep(10);
    }
    splash.close();
}
