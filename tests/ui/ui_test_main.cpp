// The window tests need a QApplication named like the program's (message boxes take its name as
// their caption). The offscreen platform is used unless the caller chose one: test discovery runs
// this without the test environment.
#include "lirafon_app.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    CNDILirafonApp::NameApplication();
    return RUN_ALL_TESTS();
}
