#include "InstallerFonts.h"

#include <QFontDatabase>
#include <QFontInfo>

#include "InstallerIcon.h"

namespace quorvane::fonts {
namespace {

QFont desktopFont(qreal pixels) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(int(pixels));
    return font;
}

} // namespace

QString builtInTitleFamily() {
    static const QString family = [] {
        registerInstallerResources();
        const int id = QFontDatabase::addApplicationFont(
            QStringLiteral(":/quorvane/fonts/Inter-SemiBold.otf"));
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        return families.isEmpty() ? QString() : families.first();
    }();
    return family;
}

QFont title() {
    QFont font = desktopFont(titlePixels);
    font.setWeight(QFont::DemiBold);
    // The face the font database would really pick: with no 600 face it picks the bold one.
    if (QFontInfo(font).weight() != QFont::DemiBold && !builtInTitleFamily().isEmpty())
        font.setFamilies({builtInTitleFamily()});
    font.setLetterSpacing(QFont::AbsoluteSpacing, titleTracking);
    return font;
}

QFont statusLayout() {
    QFont font = desktopFont(statusPixels / statusScale);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace quorvane::fonts
