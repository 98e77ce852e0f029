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

} // namespace quorvane::test
