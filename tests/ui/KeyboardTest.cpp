// The window driven from the keyboard alone after a failure.
#include <QAccessible>
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include "BootstrapWindow.h"
#include "EventLoopSpin.h"
#include "InstallerColors.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

bool failed(const BootstrapModel& model) {
    return model.phase().kind() == InstallerPhase::Kind::failed;
}

// A key pressed and released where the keyboard is: on the focus widget.
void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr) << "nothing has keyboard focus";
    QTest::keyClick(focus, key, modifiers);
}

// Pixels of the link colour along the top edge of `widget`, where only a focus ring draws.
int ringPixels(BootstrapWindow& window, QWidget& widget) {
    const QImage image = render(window);
    const QRect rect(widget.mapTo(&window, QPoint(0, 0)), widget.size());
    int count = 0;
    for (int x = rect.left(); x <= rect.right(); ++x)
        count += coverage(image.pixel(x, rect.top()), installerColor(colors::link),
                          installerColor(colors::background), 12) > 0.3;
    return count;
}

// Pixels of the link colour anywhere in `widget`.
int linkPixels(BootstrapWindow& window, QWidget& widget) {
    const QImage image = render(window);
    const QRect rect(widget.mapTo(&window, QPoint(0, 0)), widget.size());
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            count += coverage(image.pixel(x, y), installerColor(colors::link),
                              installerColor(colors::background), 12) > 0.3;
    return count;
}

struct ShownWindow {
    explicit ShownWindow(std::optional<BootstrapManifest> manifest) : fixture(std::move(manifest)) {
        window.show();
        window.activateWindow();
    }
    ModelFixture fixture;
    BootstrapWindow window{fixture.model};
};

} // namespace

TEST(Keyboard, retryTakesFocusAndAnswersEnterAndSpace) {
    ShownWindow shown(sampleManifest()); // its download is refused at once
    BootstrapWindow& window = shown.window;
    BootstrapModel& model = *shown.fixture.model;
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_TRUE(spinUntil([&] { return failed(model); }));
    ASSERT_EQ(model.phase().message(), BootstrapFailure::download.message());

    LinkButton& retry = window.view().statusBlock().retryButton();
    CloseButton& close = window.titlebar().closeButton();
    ASSERT_TRUE(retry.isVisible());
    EXPECT_TRUE(retry.hasFocus());
    EXPECT_EQ(retry.accessibleDescription().toStdString(), BootstrapFailure::download.message());
    // Focus is drawn, in the link colour, on Retry only.
    EXPECT_GT(ringPixels(window, retry), 20);
    EXPECT_EQ(ringPixels(window, close), 0);

    // Tab goes round the two controls, both ways.
    press(Qt::Key_Tab);
    EXPECT_TRUE(close.hasFocus());
    EXPECT_GT(ringPixels(window, close), 4);
    EXPECT_EQ(ringPixels(window, retry), 0);
    press(Qt::Key_Tab);
    EXPECT_TRUE(retry.hasFocus());
    press(Qt::Key_Backtab);
    EXPECT_TRUE(close.hasFocus());
    press(Qt::Key_Backtab);
    EXPECT_TRUE(retry.hasFocus());

    // Escape leaves everything as it was.
    const InstallerPhase before = model.phase();
    press(Qt::Key_Escape);
    spinFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(model.phase(), before);
    EXPECT_TRUE(retry.hasFocus());

    // Enter, Return and Space each start one new attempt, which fails again and brings the
    // focus back to Retry.
    int starts = 0;
    QObject::connect(&model, &BootstrapModel::phaseChanged, &window, [&] {
        if (model.phase().kind() == InstallerPhase::Kind::checking)
            ++starts;
    });
    const std::pair<Qt::Key, Qt::KeyboardModifiers> keys[] = {{Qt::Key_Return, Qt::NoModifier},
                                                              {Qt::Key_Enter, Qt::KeypadModifier},
                                                              {Qt::Key_Space, Qt::NoModifier}};
    for (const auto& [key, modifiers] : keys) {
        SCOPED_TRACE(key);
        const int expected = starts + 1;
        press(key, modifiers);
        ASSERT_TRUE(spinUntil([&] { return starts == expected && failed(model); }));
        EXPECT_TRUE(retry.hasFocus());
        EXPECT_TRUE(window.isVisible());
    }
}

TEST(Keyboard, withoutRetryTheStatusTakesFocusAndKeysDoNoHarm) {
    ShownWindow shown(std::nullopt); // no manifest: a failure with no Retry
    BootstrapWindow& window = shown.window;
    BootstrapModel& model = *shown.fixture.model;
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_TRUE(failed(model));
    StatusBlock& status = window.view().statusBlock();
    CloseButton& close = window.titlebar().closeButton();
    ASSERT_FALSE(status.retryButton().isVisible());
    EXPECT_TRUE(status.hasFocus());
    EXPECT_EQ(status.accessibleDescription().toStdString(),
              BootstrapFailure::configuration.message());
    QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&status);
    EXPECT_TRUE(element->state().focusable);
    EXPECT_TRUE(element->state().focused);
    EXPECT_EQ(element->text(QAccessible::Description).toStdString(),
              BootstrapFailure::configuration.message());

    // Moved there for a screen reader, the block shows no ring; reached with Tab, it does.
    EXPECT_EQ(linkPixels(window, status), 0);
    press(Qt::Key_Tab);
    EXPECT_TRUE(close.hasFocus());
    press(Qt::Key_Tab);
    EXPECT_TRUE(status.hasFocus());
    EXPECT_GT(linkPixels(window, status), 100);
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Space}) {
        press(key);
        spinFor(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(status.hasFocus());
    EXPECT_EQ(model.phase(), InstallerPhase::failed(BootstrapFailure::configuration.message()));
}

TEST(Keyboard, leavingAFailureHandsFocusBackToTheWindowNotToClose) {
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapWindow window(fixture.model);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    fixture.model->setPhase(InstallerPhase::failed(BootstrapFailure::download.message()));
    ASSERT_TRUE(window.view().statusBlock().retryButton().hasFocus());
    fixture.model->setPhase(InstallerPhase::downloading());
    // Space on the close control would close the window.
    EXPECT_FALSE(window.titlebar().closeButton().hasFocus());
    EXPECT_EQ(QApplication::focusWidget(), &window);
    EXPECT_FALSE(window.view().statusBlock().retryButton().isVisible());
}
