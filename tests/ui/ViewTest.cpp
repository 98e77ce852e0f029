#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "BootstrapView.h"
#include "BootstrapWindow.h"
#include "EventLoopSpin.h"
#include "InstallerColors.h"
#include "InstallerFonts.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// WCAG 2 contrast ratio between two opaque colours, 1 to 21.
double contrastRatio(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

namespace {

QStringList statusLines(BootstrapView& view) {
    return childNames(QAccessible::queryAccessibleInterface(&view.statusBlock()));
}

// Counts the runs started: start() moves to `checking`, and nothing else does.
struct StartCounter {
    explicit StartCounter(BootstrapModel& model) {
        QObject::connect(&model, &BootstrapModel::phaseChanged, &model, [this, &model] {
            if (model.phase() == InstallerPhase::checking())
                ++starts;
        });
    }
    int starts = 0;
};

struct StatusCase {
    const char* name;
    std::optional<BootstrapManifest> manifest;
    InstallerPhase phase;
    std::int64_t received;
    std::vector<std::string> lines;
};

const std::string ellipsis = "\u2026";

std::vector<StatusCase> statusCases() {
    const std::string download = "Downloading Quorvane Pro 4.2.1" + ellipsis;
    const auto whole = sampleManifest(52'000'000, std::nullopt);
    return {
        {"ready shows the download lines at 0",
         sampleManifest(),
         InstallerPhase::ready(),
         0,
         {download, "0 MB of 50 MB"}},
        {"just under a half rounds down",
         sampleManifest(),
         InstallerPhase::downloading(),
         1'499'999,
         {download, "1 MB of 50 MB"}},
        {"a half rounds up",
         sampleManifest(),
         InstallerPhase::downloading(),
         1'500'000,
         {download, "2 MB of 50 MB"}},
        {"no embedded prefix downloads it all",
         whole,
         InstallerPhase::downloading(),
         4'000'000'000,
         {download, "4000 MB of 52 MB"}},
        {"waiting to reconnect replaces the figures",
         sampleManifest(),
         InstallerPhase::downloading(InstallerPhase::Connection::reconnecting),
         1'500'000,
         {download, "Reconnecting" + ellipsis}},
        {"a silent network replaces the figures",
         sampleManifest(),
         InstallerPhase::downloading(InstallerPhase::Connection::waitingForNetwork),
         1'500'000,
         {download, "Waiting for the network" + ellipsis}},
        {"checking",
         sampleManifest(),
         InstallerPhase::checking(),
         0,
         {"Checking the installed app" + ellipsis}},
        {"verifying",
         sampleManifest(),
         InstallerPhase::verifying(),
         0,
         {"Verifying the installer" + ellipsis}},
        {"installing",
         sampleManifest(),
         InstallerPhase::installing(),
         0,
         {"Adding Quorvane Pro to Applications" + ellipsis}},
        {"a failure offers Retry",
         sampleManifest(),
         InstallerPhase::failed(BootstrapFailure::checksum.message()),
         0,
         {BootstrapFailure::checksum.message(), "Retry"}},
        {"a message is shown as carried",
         sampleManifest(),
         InstallerPhase::failed("50% of %1 and <b>%lld</b>"),
         0,
         {"50% of %1 and <b>%lld</b>", "Retry"}},
        {"no manifest, no Retry",
         std::nullopt,
         InstallerPhase::failed(BootstrapFailure::configuration.message()),
         0,
         {BootstrapFailure::configuration.message()}},
        {"no manifest, empty version and total",
         std::nullopt,
         InstallerPhase::ready(),
         0,
         {"Downloading Quorvane Pro " + ellipsis, "0 MB of 0 MB"}},
    };
}

} // namespace

TEST(BootstrapView, statusLinesFollowThePhase) {
    for (const StatusCase& c : statusCases()) {
        SCOPED_TRACE(c.name);
        ModelFixture fixture(c.manifest, 0);
        BootstrapView view(fixture.model);
        fixture.model->setReceived(c.received);
        fixture.model->setPhase(c.phase);
        QStringList expected;
        for (const auto& line : c.lines)
            expected.append(QString::fromStdString(line));
        EXPECT_EQ(statusLines(view), expected);
    }
}

TEST(BootstrapView, statusInkIsMutedExceptForFailures) {
    const QColor background = installerColor(colors::background);
    for (const bool failure : {false, true}) {
        SCOPED_TRACE(failure ? "failure" : "checking");
        ModelFixture fixture;
        BootstrapView view(fixture.model);
        fixture.model->setPhase(failure ? InstallerPhase::failed("Could not do it.")
                                        : InstallerPhase::checking());
        const QImage image = render(view);
        const QRect line =
            view.statusBlock().firstLine().geometry().translated(view.statusBlock().pos());
        const QColor expected = installerColor(failure ? colors::failureInk : colors::muted);
        const QColor other = installerColor(failure ? colors::muted : colors::failureInk);
        int inked = 0, wrongInk = 0;
        for (int y = line.top(); y <= line.bottom(); ++y)
            for (int x = line.left(); x <= line.right(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (coverage(pixel, expected, background) >= 0.8)
                    ++inked;
                else if (coverage(pixel, other, background) >= 0.8)
                    ++wrongInk;
            }
        EXPECT_GT(inked, 40);
        EXPECT_EQ(wrongInk, 0);
    }
}

TEST(BootstrapView, longFailureWrapsIntoCentredLinesWithinTheMargins) {
    ModelFixture fixture;
    BootstrapView view(fixture.model);
    fixture.model->setPhase(InstallerPhase::failed(
        "The installer could not finish because something unexpected happened while it was "
        "working, and it would like you to read this whole sentence before you press Retry."));
    QApplication::processEvents(); // the block's new height reaches the layout
    const QImage image = render(view);
    const QColor ink = installerColor(colors::failureInk);
    const QColor background = installerColor(colors::background);
    const QRect block = view.statusBlock().geometry();

    // Rows holding failure ink, grouped into bands of text lines.
    struct Band {
        int left = INT_MAX, right = -1;
    };
    std::vector<Band> bands;
    bool inBand = false;
    for (int y = block.top(); y <= block.bottom(); ++y) {
        Band row;
        for (int x = 0; x < image.width(); ++x)
            if (coverage(image.pixel(x, y), ink, background) >= 0.5) {
                row.left = std::min(row.left, x);
                row.right = std::max(row.right, x);
            }
        if (row.right < 0) {
            inBand = false;
            continue;
        }
        if (!inBand)
            bands.push_back(row);
        inBand = true;
        bands.back().left = std::min(bands.back().left, row.left);
        bands.back().right = std::max(bands.back().right, row.right);
    }
    ASSERT_GE(bands.size(), 2u);
    int widest = 0;
    for (const Band& band : bands) {
        EXPECT_GE(band.left, 20);
        EXPECT_LE(band.right, 479);
        EXPECT_NEAR(band.left - 20, 479 - band.right, 3) << band.left << ".." << band.right;
        widest = std::max(widest, band.right - band.left + 1);
    }
    EXPECT_GT(widest, 400); // wrapped at the block's width, not earlier
}

TEST(BootstrapView, retryIsOfferedOnlyWithAManifestAndStartsAgain) {
    {
        ModelFixture fixture(std::nullopt, 6);
        BootstrapView view(fixture.model);
        EXPECT_TRUE(view.statusBlock().retryButton().isHidden());
    }
    ModelFixture fixture(sampleManifest(), 6);
    StartCounter counter(*fixture.model);
    BootstrapView view(fixture.model);
    fixture.model->setPhase(InstallerPhase::failed(BootstrapFailure::download.message()));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    LinkButton& retry = view.statusBlock().retryButton();
    ASSERT_TRUE(retry.isVisible());
    QTest::mouseClick(&retry, Qt::LeftButton);
    EXPECT_EQ(counter.starts, 1);
    EXPECT_EQ(fixture.model->received(), 0);
    // A run that never got to begin would keep its frame.
    EXPECT_TRUE(spinUntil([&] { return fixture.model->operation().isDone(); }));
}

TEST(BootstrapView, startsOnlyWhenFirstShownInReady) {
    struct Case {
        const char* name;
        bool manifest;
        std::optional<InstallerPhase> phaseBeforeShow;
        int starts;
    } cases[] = {
        {"ready", true, std::nullopt, 1},
        {"failed with a manifest", true, InstallerPhase::failed("Earlier."), 0},
        {"no manifest", false, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelFixture fixture(c.manifest ? std::optional(sampleManifest()) : std::nullopt, 6);
        StartCounter counter(*fixture.model);
        BootstrapView view(fixture.model);
        if (c.phaseBeforeShow)
            fixture.model->setPhase(*c.phaseBeforeShow);
        EXPECT_EQ(counter.starts, 0) << "not before it is shown";
        view.show();
        QApplication::processEvents();
        QApplication::processEvents();
        EXPECT_EQ(counter.starts, c.starts);

        // Shown again in ready, it leaves the model alone: the first showing was the one.
        fixture.model->setPhase(InstallerPhase::ready());
        view.hide();
        view.show();
        QApplication::processEvents();
        QApplication::processEvents();
        EXPECT_EQ(counter.starts, c.starts);
    }
}

TEST(BootstrapView, closingTheWindowCancelsTheRun) {
    ModelFixture fixture(sampleManifest(), 6);
    BootstrapWindow window(fixture.model);
    window.show();
    ASSERT_TRUE(spinUntil([&] { return fixture.model->operation().valid(); }));
    EXPECT_FALSE(fixture.model->operation().isCancelled());
    window.close();
    EXPECT_TRUE(fixture.model->operation().isCancelled());
    EXPECT_FALSE(fixture.model->stagingDirectory());
    EXPECT_TRUE(spinUntil([&] { return fixture.model->operation().isDone(); }));
}

namespace {

// Left and right edge of the ink in `image`, in the image's points.
std::pair<double, double> inkSpan(const QImage& image) {
    int left = image.width(), right = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0 && qGray(image.pixel(x, y)) < 200) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    const double ratio = image.devicePixelRatio();
    return {left / ratio, (right + 1) / ratio};
}

// The ink width of `line` as drawn on a screen of `ratio`, in points.
double drawnWidth(StatusLine& line, qreal ratio) {
    QImage image((QSizeF(line.size()) * ratio).toSize(), QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::white);
    line.render(&image);
    const auto [left, right] = inkSpan(image);
    return right - left;
}

} // namespace

TEST(BootstrapView, statusTextIsTwelveAndAHalfPixelsAtEveryPixelRatio) {
    // The reference: the same text with a 25 px font, drawn plainly and halved. 13 px text
    // (what a rounded size gives) is 4% wider: over 5 points on this line.
    const QString digits = "0123456789 0123456789";
    QFont twice = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    twice.setPixelSize(25);
    QImage reference(600, 40, QImage::Format_ARGB32);
    reference.fill(Qt::white);
    {
        QPainter painter(&reference);
        painter.setFont(twice);
        painter.setPen(Qt::black);
        painter.drawText(QPointF(10, 30), digits);
    }
    const auto [refLeft, refRight] = inkSpan(reference);
    const double expected = (refRight - refLeft) / 2;

    StatusLine line;
    line.setText(digits);
    line.resize(320, line.heightForWidth(320));
    for (const qreal ratio : {1.0, 1.25, 1.5, 2.0}) {
        SCOPED_TRACE(ratio);
        EXPECT_NEAR(drawnWidth(line, ratio), expected, 1.0);
    }
    EXPECT_NEAR(StatusLine::advance(digits, &line) * 2,
                QFontMetricsF(twice).horizontalAdvance(digits), 0.5);

    // Figures take the same width whatever the digit, so a growing count does not jitter.
    EXPECT_DOUBLE_EQ(StatusLine::advance("1111", &line), StatusLine::advance("8888", &line));
}

TEST(BootstrapView, theDownloadFailureFitsOnOneLine) {
    ModelFixture fixture;
    BootstrapView view(fixture.model);
    const std::string& sentence = BootstrapFailure::download.message();
    fixture.model->setPhase(InstallerPhase::failed(sentence));
    view.show();
    QApplication::processEvents();
    StatusLine& first = view.statusBlock().firstLine();
    EXPECT_EQ(first.width(), BootstrapView::contentWidth - 2 * StatusBlock::sideMargin);
    EXPECT_EQ(first.lineCount(first.width()), 1);
    EXPECT_EQ(first.height(), first.heightForWidth(first.width()));
    EXPECT_LT(first.height(), 2 * StatusLine::lineSpacing(&first));
}

TEST(BootstrapView, titleIsSemibold) {
    ModelFixture fixture;
    BootstrapView view(fixture.model);
    const QFont title = view.title().font();
    EXPECT_EQ(title.pixelSize(), fonts::titlePixels);
    // The face really drawn (QFontInfo reports the weight asked for, even for a bold face).
    const QFontInfo drawn(title);
    EXPECT_EQ(QFontDatabase::weight(drawn.family(), drawn.styleName()), QFont::DemiBold)
        << drawn.family().toStdString() << " " << drawn.styleName().toStdString();
    // The built-in face only stands in where the desktop's family has no semibold face.
    QFont desktop = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const bool desktopHasSemibold = fonts::hasFace(QFontInfo(desktop).family(), QFont::DemiBold);
    EXPECT_EQ(drawn.family() == fonts::builtInTitleFamily(), !desktopHasSemibold);
    EXPECT_FALSE(fonts::builtInTitleFamily().isEmpty()) << "the built-in face did not load";
    EXPECT_FALSE(fonts::hasFace("DejaVu Sans", QFont::DemiBold));
    EXPECT_TRUE(fonts::hasFace(fonts::builtInTitleFamily(), QFont::DemiBold));

    // Its licence travels with it.
    QFile licence(":/quorvane/fonts/Inter-OFL.txt");
    ASSERT_TRUE(licence.open(QIODevice::ReadOnly));
    EXPECT_TRUE(licence.readAll().contains("SIL OPEN FONT LICENSE Version 1.1"));
}

TEST(BootstrapView, highContrastDarkensTheMutedInkOnly) {
    const QColor background = installerColor(colors::background);
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapWindow window(fixture.model);
    fixture.model->setPhase(InstallerPhase::downloading());
    StatusBlock& status = window.view().statusBlock();
    // The given colour by default, though it is short of 4.5:1.
    EXPECT_EQ(status.firstLine().ink(), installerColor(colors::muted));
    EXPECT_NEAR(contrastRatio(installerColor(colors::muted), background), 4.16, 0.01);

    window.setHighContrast(true);
    const QColor darker = status.firstLine().ink();
    EXPECT_GE(contrastRatio(darker, background), 4.5);
    // The same hue, only darker.
    EXPECT_NEAR(darker.hueF(), installerColor(colors::muted).hueF(), 0.02);
    // The drawn text has it: the darkest pixel of the line is the darker ink.
    const QImage image = render(window);
    const QRect line(status.firstLine().mapTo(&window, QPoint(0, 0)), status.firstLine().size());
    int darkest = 255;
    for (int y = line.top(); y <= line.bottom(); ++y)
        for (int x = line.left(); x <= line.right(); ++x)
            darkest = std::min(darkest, qGray(image.pixel(x, y)));
    EXPECT_NEAR(darkest, qGray(darker.rgb()), 6);

    // Failures keep their own ink, and the next phase keeps the darker one.
    fixture.model->setPhase(InstallerPhase::failed("It broke."));
    EXPECT_EQ(status.firstLine().ink(), installerColor(colors::failureInk));
    fixture.model->setPhase(InstallerPhase::verifying());
    EXPECT_EQ(status.firstLine().ink(), darker);
    window.setHighContrast(false);
    EXPECT_EQ(status.firstLine().ink(), installerColor(colors::muted));
}
