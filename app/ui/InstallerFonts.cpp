#include "InstallerFonts.h"

#include <algorithm>

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

bool hasFace(const QString& family, int weight) {
    const QStringList styles = QFontDatabase::styles(family);
    return std::any_of(styles.begin(), styles.end(), [&](const QString& style) {
        return QFontDatabase::weight(family, style) == weight &&
               !QFontDatabase::italic(family, style);
    });
}

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
    // With no 600 face the font database picks the bold one (and QFontInfo still reports 600),
    // so the family's faces are looked at.
    if (!hasFace(QFontInfo(font).family(), QFont::DemiBold) && !builtInTitleFamily().isEmpty())
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
