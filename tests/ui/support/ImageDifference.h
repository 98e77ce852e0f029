#pragma once

#include <QImage>
#include <QRect>

namespace quorvane::test {

// How far two renderings of the same size are apart.
struct ImageDifference {
    double meanChannel = 0; // mean absolute difference per channel, 0 to 255
    double pixelsApart = 0; // share of pixels with a channel more than 32 apart
};

ImageDifference compareImages(const QImage& a, const QImage& b);

// A real window and its offscreen rendering differ by the display's anti-aliasing only.
inline bool sameWindow(const ImageDifference& d) {
    return d.meanChannel < 1.0 && d.pixelsApart < 0.005;
}

// The smallest rectangle holding every pixel of `screen` not of the `background` colour.
QRect windowArea(const QImage& screen, QRgb background);

} // namespace quorvane::test
