#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include "InstallerColors.h"
#include "InstallerWaves.h"

using namespace quorvane;

namespace {

QImage drawWaves(QSize size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    InstallerWaves::paint(painter, QSizeF(size));
    return image;
}

// Total opacity across a few pixels around (x, y), along a row or a column: a line's opacity
// times its width in that direction.
double inkAcross(const QImage& image, int x, int y, bool alongRow) {
    double sum = 0;
    for (int d = -4; d <= 4; ++d)
        sum += qAlpha(alongRow ? image.pixel(x + d, y) : image.pixel(x, y + d)) / 255.0;
    return sum;
}

// The most opaque pixel of the column around (x, y).
QRgb strongest(const QImage& image, int x, int y) {
    QRgb best = 0;
    for (int d = -4; d <= 4; ++d)
        if (qAlpha(image.pixel(x, y + d)) > qAlpha(best))
            best = image.pixel(x, y + d);
    return best;
}

} // namespace

TEST(InstallerWaves, gridIsStretchedToTheSurface) {
    struct Case {
        QSizeF surface;
        int stroke;
        int element;
        QPointF expected;
    } cases[] = {
        {{500, 340}, 0, 0, {-20, 250}},
        {{500, 308}, 0, 0, {-20, 250 * 308.0 / 340}}, // about 226.5
        {{500, 308}, 0, 3, {250, 250 * 308.0 / 340}}, // end of the first curve
        {{500, 308}, 2, 6, {520, 95 * 308.0 / 340}},  // end of the dark curve
        {{1000, 680}, 0, 0, {-40, 500}},
        {{500, 308}, 3, 0, {60, -10 * 308.0 / 340}},
        {{500, 308}, 4, 1, {380, 350 * 308.0 / 340}},
    };
    for (const Case& c : cases) {
        const auto strokes = InstallerWaves::strokes(c.surface);
        ASSERT_EQ(strokes.size(), 5u);
        const QPointF point = strokes[c.stroke].path.elementAt(c.element);
        EXPECT_NEAR(point.x(), c.expected.x(), 1e-9) << c.stroke << "/" << c.element;
        EXPECT_NEAR(point.y(), c.expected.y(), 1e-9) << c.stroke << "/" << c.element;
    }
    EXPECT_NEAR(InstallerWaves::strokes({500, 308})[0].path.elementAt(0).y, 226.47, 0.01);
}

TEST(InstallerWaves, strokesKeepTheirColourOpacityAndOnePointWidth) {
    const QColor gold = installerColor(colors::gold);
    for (const int scale : {1, 2}) {
        SCOPED_TRACE(scale);
        const QImage image = drawWaves(QSize(500, 340) * scale);
        // The first curve passes (250, 250) on the grid with slope -1/2: gold at 0.3, one point
        // wide, so sqrt(1.25) points tall along the column.
        const QRgb onCurve = strongest(image, 250 * scale, 250 * scale);
        EXPECT_NEAR(qRed(onCurve), gold.red(), 12);
        EXPECT_NEAR(qGreen(onCurve), gold.green(), 12);
        EXPECT_NEAR(qBlue(onCurve), gold.blue(), 12);
        EXPECT_NEAR(inkAcross(image, 250 * scale, 250 * scale, false), 0.3 * 1.118, 0.04);
        // The left slanted line crosses grid row 170 at x 105, at 0.08 opacity, and its width
        // along the row stays one point (a bit over, for the slant) at either scale.
        EXPECT_NEAR(inkAcross(image, 105 * scale, 170 * scale, true), 0.08 * 1.031, 0.02);
    }
}
