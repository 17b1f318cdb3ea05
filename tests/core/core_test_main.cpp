#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QtGlobal>

// The core's tests share one QCoreApplication for the whole process: the core needs an event
// loop, and nothing of a window or a display.
int main(int argc, char** argv) {
    // A core that a test did not give a keyring of its own must not reach the user's.
    qputenv("AVLO_KEYRING", "none");
    testing::InitGoogleMock(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
