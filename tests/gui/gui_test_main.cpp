#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QtGlobal>

#include "app/MessageBoxWindow.h"

// GUI tests share one QApplication for the whole process (Qt allows only one) and run without
// a display unless the caller chose a platform.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // A core that a test did not give a keyring of its own must not reach the user's.
    qputenv("AVLO_KEYRING", "none");
    testing::InitGoogleMock(&argc, argv);
    QApplication app(argc, argv);
    // Boxes that a test does not capture are real ones, as in the program with windows.
    InstallMessageBoxWindows();
    return RUN_ALL_TESTS();
}
