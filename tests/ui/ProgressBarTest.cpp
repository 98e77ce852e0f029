#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include "BootstrapView.h"
#include "EventLoopSpin.h"
#include "InstallerColors.h"
#include "UiFixture.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// The sample manifest's tail is 50,000,000 bytes.
constexpr std::int64_t tail = 50'000'000;

struct Bar {
    Bar() : view(fixture.model) {}
    GoldRun show(InstallerPhase phase, std::int64_t received = 0) {
        fixture.model->setReceived(received);
        fixture.model->setPhase(phase);
        return goldAlongBar(view);
    }
    ModelFixture fixture{sampleManifest(), 0};
    BootstrapView view;
};

// Counts the bar's paints.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

TEST(ProgressBar, fillFollowsTheDownloadedFraction) {
    struct Case {
        InstallerPhase phase;
        std::int64_t received;
        int columns;
    } cases[] = {
        {InstallerPhase::downloading(), 0, 0},
        {InstallerPhase::downloading(), tail / 2, 120},
        {InstallerPhase::downloading(), tail, 240},
        {InstallerPhase::downloading(), tail * 2, 240}, // capped by the model
        {InstallerPhase::ready(), tail / 2, 120},       // ready draws the fill too
    };
    Bar bar;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.received);
        const GoldRun run = bar.show(c.phase, c.received);
        EXPECT_NEAR(run.columns, c.columns, 1);
        if (c.columns > 0) {
            EXPECT_EQ(run.first, 0);
        }
    }
}

TEST(ProgressBar, segmentPositionComesFromTheClock) {
    struct Case {
        double t;
        bool reduceMotion;
        int first, last; // expected gold columns, -1 for none
    } cases[] = {
        {0.6, false, 78, 161},
        {1.2 * 1000 + 0.6, false, 78, 161},
        {1.2 * 666'666'667 + 0.6, false, 78, 161}, // a present-day clock reading
        {0.0, false, -1, -1},                      // wholly left of the track
        {0.3, false, 0, 80},                       // entering: offset -3
        {1.2 * 5 + 1.0, false, 186, 239},          // leaving on the right
        {0.3, true, 78, 161},                      // reduce motion: fixed, centred
        {0.0, true, 78, 161},
    };
    Bar bar;
    for (const InstallerPhase& phase :
         {InstallerPhase::checking(), InstallerPhase::verifying(), InstallerPhase::installing()}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "t=" << c.t << " reduce=" << c.reduceMotion);
            bar.view.setReduceMotion(c.reduceMotion);
            bar.view.progressBar().setClock([t = c.t] { return t; });
            const GoldRun run = bar.show(phase);
            EXPECT_NEAR(run.first, c.first, 1);
            EXPECT_NEAR(run.last, c.last, 1);
        }
    }
}

TEST(ProgressBar, failureLeavesOnlyTheTrack) {
    Bar bar;
    bar.show(InstallerPhase::downloading(), tail / 2);
    const GoldRun run = bar.show(InstallerPhase::failed("No."), tail / 2);
    EXPECT_EQ(run.columns, 0);

    // The track itself is still there, end to end.
    const QImage image = render(bar.view);
    const QRect geometry = bar.view.progressBar().geometry();
    const int row = geometry.top() + 1;
    for (int x = 2; x < ProgressBar::barWidth - 2; ++x)
        ASSERT_EQ(image.pixel(geometry.left() + x, row), installerColor(colors::track).rgb()) << x;

    // Retry brings the fill back.
    EXPECT_EQ(bar.show(InstallerPhase::downloading(), tail / 2).columns, 120);
}

TEST(ProgressBar, accessibleLabelAndValue) {
    struct Case {
        InstallerPhase phase;
        std::int64_t received;
        const char* value;
    } cases[] = {
        {InstallerPhase::downloading(), tail / 8, "13%"},  // 12.5 rounds away from zero
        {InstallerPhase::downloading(), tail / 250, "0%"}, // 0.4
        {InstallerPhase::downloading(), tail, "100%"},
        {InstallerPhase::ready(), tail / 2, ""},
        {InstallerPhase::checking(), tail / 2, ""},
        {InstallerPhase::failed("No."), tail / 2, ""},
    };
    Bar bar;
    QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&bar.view.progressBar());
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->role(), QAccessible::ProgressBar);
    EXPECT_EQ(element->text(QAccessible::Name), "Installation progress");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        bar.show(c.phase, c.received);
        EXPECT_EQ(element->text(QAccessible::Value), QString::fromUtf8(c.value));
        const QVariant number = element->valueInterface()->currentValue();
        if (*c.value) {
            EXPECT_EQ(number.toString() + "%", QString::fromUtf8(c.value));
        } else {
            EXPECT_FALSE(number.isValid());
        }
    }
}

TEST(ProgressBar, frameTimerRunsOnlyWhileTheSegmentMoves) {
    struct Case {
        InstallerPhase phase;
        bool reduceMotion;
        bool animating;
    } cases[] = {
        {InstallerPhase::checking(), false, true},
        {InstallerPhase::verifying(), false, true},
        {InstallerPhase::installing(), false, true},
        {InstallerPhase::checking(), true, false},
        {InstallerPhase::installing(), true, false},
        {InstallerPhase::ready(), false, false},
        {InstallerPhase::downloading(), false, false},
        {InstallerPhase::failed("No."), false, false},
    };
    Bar bar;
    bar.view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar.view));
    ProgressBar& progress = bar.view.progressBar();
    EXPECT_GE(progress.frameInterval(), 1000.0 / 30);
    PaintCounter counter;
    progress.installEventFilter(&counter);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.phase.kind()) << " reduce=" << c.reduceMotion);
        bar.view.setReduceMotion(c.reduceMotion);
        bar.show(c.phase);
        EXPECT_EQ(progress.isAnimating(), c.animating);
        QApplication::processEvents(); // the repaint the change itself asked for
        counter.paints = 0;
        spinFor(std::chrono::milliseconds(150));
        if (c.animating) {
            EXPECT_GT(counter.paints, 0);
        } else {
            EXPECT_EQ(counter.paints, 0);
        }
    }
    // A hidden bar asks for no frames either.
    bar.view.setReduceMotion(false);
    bar.show(InstallerPhase::checking());
    bar.view.hide();
    EXPECT_FALSE(progress.isAnimating());
}
