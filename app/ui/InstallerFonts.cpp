#include "InstallerFonts.h"

#include <QFontDatabase>
#include <QPaintDevice>

namespace quorvane::fonts {

QFont title() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(titlePixels);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, titleTracking);
    return font;
}

QFont status(const QPaintDevice& device) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const int dpi = device.logicalDpiY() > 0 ? device.logicalDpiY() : 96;
    font.setPointSizeF(statusPixels * 72.0 / dpi);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace quorvane::fonts
