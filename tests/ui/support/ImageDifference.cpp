#include "ImageDifference.h"

#include <algorithm>
#include <cstdlib>

namespace quorvane::test {

ImageDifference compareImages(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    long long sum = 0, apart = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            const int dr = std::abs(qRed(p) - qRed(q)), dg = std::abs(qGreen(p) - qGreen(q)),
                      db = std::abs(qBlue(p) - qBlue(q));
            sum += dr + dg + db;
            apart += std::max({dr, dg, db}) > 32;
        }
    const double pixels = double(x.width()) * x.height();
    return {sum / (pixels * 3), apart / pixels};
}

QRect windowArea(const QImage& screen, QRgb background) {
    const QRgb paper = background & 0xffffff;
    int left = screen.width(), top = screen.height(), right = -1, bottom = -1;
    for (int y = 0; y < screen.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
        for (int x = 0; x < screen.width(); ++x)
            if ((line[x] & 0xffffff) != paper) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace quorvane::test
