#pragma once

#include <QSplashScreen>

// The window shown while the program starts: one picture, no frame, centred on the desktop.
class TSplashScreenForm : public QSplashScreen {
public:
    TSplashScreenForm();
};

// How long the splash stays on screen before the main window is built.
constexpr int SplashMs = 2000;

// Shows the splash for ms milliseconds, then closes it. Only user input is held back
// meanwhile: the picture is repainted when the desktop asks for it.
void ShowSplashScreen(int ms = SplashMs);

// Makes the pictures of the program's own windows (splash, about box) available as resources.
void LoadProgramPictures();
