#pragma once

#include <QString>

#include "platform/MessageBox.h"

class QObject;

// The message-box seam's presenter for a program with windows: a real QMessageBox.
int ShowMessageBoxWindow(QObject* parent, MsgKind kind, const QString& title, const QString& text);

// Makes every following box a real one (unless captured or headless).
inline void InstallMessageBoxWindows() {
    MessageBoxSeam::SetPresenter(&ShowMessageBoxWindow);
}
