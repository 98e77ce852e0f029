#include <QApplication>

#include <gtest/gtest.h>

#include "BootstrapApp.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    quorvane::BootstrapApp::configure();
    return RUN_ALL_TESTS();
}
