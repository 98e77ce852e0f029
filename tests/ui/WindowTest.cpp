#include <QAccessible>
#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include <gtest/gtest.h>

#include "BootstrapApp.h"
#include "BootstrapWindow.h"
#include "EventLoopSpin.h"
#include "InstallerColors.h"
#include "UiFixture.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

QPalette darkPalette() {
    QPalette dark(QColor(0xE0, 0xE0, 0xE0), QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xF0, 0xF0, 0xF0));
    dark.setColor(QPalette::Link, QColor(0x80, 0xC0, 0xFF));
    return dark;
}

} // namespace

TEST(BootstrapWindow, oneFixedFramelessWindowWithItsTitleKept) {
    ModelFixture fixture(std::nullopt);
    BootstrapWindow window(fixture.model);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), "Install Quorvane Pro");
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window.size(), QSize(500, 28 + 308));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.view().geometry(), QRect(0, 28, 500, 308));
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 1);
}

TEST(BootstrapWindow, titleStripIsPlainBackgroundWithOnlyTheCloseControl) {
    // A dark desktop theme must not reach the window.
    QApplication::setPalette(darkPalette());
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapWindow window(fixture.model);
    fixture.model->setPhase(InstallerPhase::failed("Could not."));
    const QImage image = render(window);
    const QRect close = window.titlebar().closeButton().geometry();
    const QRgb background = installerColor(colors::background).rgb();
    for (int y = 0; y < 28; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!close.contains(x, y)) {
                ASSERT_EQ(image.pixel(x, y), background) << x << "," << y;
            }
    // The cross is drawn inside the control.
    int crossPixels = 0;
    for (int y = close.top(); y <= close.bottom(); ++y)
        for (int x = close.left(); x <= close.right(); ++x)
            crossPixels += image.pixel(x, y) != background;
    EXPECT_GT(crossPixels, 10);
    // Everything below the strip keeps the light look too: the Retry link is not the dark
    // theme's link colour.
    EXPECT_EQ(window.view().statusBlock().retryButton().palette().color(QPalette::Link),
              installerColor(colors::link));
    BootstrapApp::configure();
}

TEST(BootstrapWindow, closeControlAndShortcutsCloseAndCancel) {
    enum class How { control, ctrlW, ctrlQ, accessiblePress };
    for (const How how : {How::control, How::ctrlW, How::ctrlQ, How::accessiblePress}) {
        SCOPED_TRACE(int(how));
        ModelFixture fixture(sampleManifest(), 6);
        BootstrapWindow window(fixture.model);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        ASSERT_TRUE(spinUntil([&] { return fixture.model->operation().valid(); }));
        CloseButton& close = window.titlebar().closeButton();
        switch (how) {
        case How::control:
            QTest::mouseClick(&close, Qt::LeftButton);
            break;
        case How::ctrlW:
            QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
            break;
        case How::ctrlQ:
            QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
            break;
        case How::accessiblePress: {
            QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&close);
            ASSERT_EQ(element->text(QAccessible::Name), "Close");
            element->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            break;
        }
        }
        // A press through accessibility animates the click first.
        EXPECT_TRUE(spinUntil([&] { return !window.isVisible(); }));
        EXPECT_TRUE(fixture.model->operation().isCancelled());
        EXPECT_TRUE(spinUntil([&] { return fixture.model->operation().isDone(); }));
    }
}

TEST(BootstrapWindow, draggingTheStripMovesTheWindow) {
    ModelFixture fixture(std::nullopt);
    BootstrapWindow window(fixture.model);
    window.move(100, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    InstallerTitlebar& strip = window.titlebar();
    const QPoint grab(200, 12);
    const auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButtons buttons) {
        QMouseEvent event(type, strip.mapFromGlobal(global), global, Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(&strip, &event);
    };
    const QPoint down = strip.mapToGlobal(grab);
    send(QEvent::MouseButtonPress, down, Qt::LeftButton);
    send(QEvent::MouseMove, down + QPoint(40, 25), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, down + QPoint(40, 25), Qt::NoButton);
    EXPECT_EQ(window.pos(), start + QPoint(40, 25));

    // After the release, moving the pointer leaves the window where it is.
    send(QEvent::MouseMove, down + QPoint(90, 90), Qt::NoButton);
    EXPECT_EQ(window.pos(), start + QPoint(40, 25));
}
