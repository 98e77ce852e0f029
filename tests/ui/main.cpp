#include <QApplication>

#include <gtest/gtest.h>

#include "BootstrapApp.h"

int main(int argc, char** argv) {
    // Test discovery runs this too, in whatever environment runs the build: without a platform
    // of its own choosing the application object would abort where there is no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    quorvane::BootstrapApp::configure();
    return RUN_ALL_TESTS();
}
