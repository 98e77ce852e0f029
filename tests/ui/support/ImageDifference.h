#pragma once

#include <QImage>

namespace quorvane::test {

// How far two renderings of the same size are apart.
struct ImageDifference {
    double meanChannel = 0; // mean absolute difference per channel, 0 to 255
    double pixelsApart = 0; // share of pixels with a channel more than 32 apart
};

ImageDifference compareImages(const QImage& a, const QImage& b);

} // namespace quorvane::test
