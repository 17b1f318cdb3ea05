#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>

// The core's tests share one QCoreApplication for the whole process: the core needs an event
// loop, and nothing of a window or a display.
int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
