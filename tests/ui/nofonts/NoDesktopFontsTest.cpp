// A system without fonts (run with a fontconfig file that names no font): every line the window
// shows is drawn with the built-in face, never as empty boxes.

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>

#include <gtest/gtest.h>

#include "BootstrapWindow.h"
#include "InstallerFonts.h"
#include "StatusBlock.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// The characters of `text` that `font` has no glyph for.
QString missingGlyphs(const QFont& font, const QString& text) {
    const QFontMetricsF metrics(font);
    QString missing;
    for (const char32_t c : text.toUcs4())
        if (c != U' ' && !metrics.inFontUcs4(c))
            missing += QString::fromUcs4(&c, 1);
    return missing;
}

} // namespace

TEST(NoDesktopFonts, EveryLineDrawsWithTheBuiltInFace) {
    ASSERT_FALSE(fonts::desktopHasFaces())
        << "this test must run where fontconfig finds no face; found: "
        << QFontDatabase::families().join(", ").toStdString();
    ASSERT_FALSE(fonts::builtInTitleFamily().isEmpty());
    EXPECT_EQ(QFontInfo(fonts::statusLayout()).family().toStdString(),
              fonts::builtInTitleFamily().toStdString());
    EXPECT_EQ(QFontInfo(fonts::title()).family().toStdString(),
              fonts::builtInTitleFamily().toStdString());

    ModelFixture fixture;
    BootstrapWindow window(fixture.model);
    window.show();
    StatusBlock& status = window.view().statusBlock();
    QStringList shown;
    fixture.model->setPhase(InstallerPhase::downloading());
    fixture.model->setReceived(12'345'678);
    shown += status.content().lines;
    for (int c = 0; c < BootstrapFailure::caseCount; ++c) {
        const auto failure = BootstrapFailure(static_cast<BootstrapFailure::Case>(c));
        fixture.model->setPhase(InstallerPhase::failed(failure.message()));
        shown += status.content().lines;
    }
    shown += status.retryButton().text();
    ASSERT_GE(shown.size(), 3);
    for (const QString& line : shown) {
        SCOPED_TRACE(line.toStdString());
        EXPECT_EQ(missingGlyphs(fonts::statusLayout(), line).toStdString(), "");
    }
}
