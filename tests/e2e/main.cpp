// The end-to-end tests run the real installer in a window under Xvfb; this process renders the
// same window offscreen to read what the real one shows.
#include <QApplication>

#include <gtest/gtest.h>

#include "BootstrapApp.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    quorvane::BootstrapApp::configure();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
