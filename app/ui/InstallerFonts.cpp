#include "InstallerFonts.h"

#include <algorithm>

#include <QFontDatabase>
#include <QFontInfo>

#include <QFontMetricsF>

#include "InstallerIcon.h"
#include "Translations.h"

namespace quorvane::fonts {
namespace {

// Chinese, Japanese and Korean share most Han characters but draw many of them their own way.
// The desktop picks the face for them by the session's locale, which need not be the window's
// language; the usual faces of the window's language come first here, those installed. (Qt
// keeps a face's fallbacks once it has looked them up: the language is set before any text.)
QStringList hanFamilies() {
    const QString language = l10n::current().translation;
    QStringList candidates;
    if (language == QLatin1String("ja"))
        candidates = {"Noto Sans CJK JP", "Source Han Sans JP", "IPAPGothic", "VL PGothic"};
    else if (language == QLatin1String("ko"))
        candidates = {"Noto Sans CJK KR", "Source Han Sans KR", "NanumGothic", "UnDotum"};
    else if (language == QLatin1String("zh_CN"))
        candidates = {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Zen Hei",
                      "WenQuanYi Micro Hei"};
    else if (language == QLatin1String("zh_TW"))
        candidates = {"Noto Sans CJK TC", "Source Han Sans TC", "AR PL UMing TW"};
    QStringList installed;
    for (const QString& family : candidates)
        if (QFontDatabase::hasFamily(family))
            installed.append(family);
    return installed;
}

// The names the built-in semibold face is listed under, registered on first use.
QStringList builtInFamilies() {
    static const QStringList families = [] {
        registerInstallerResources();
        const int id = QFontDatabase::addApplicationFont(
            QStringLiteral(":/quorvane/fonts/Inter-SemiBold.otf"));
        return QFontDatabase::applicationFontFamilies(id);
    }();
    return families;
}

// `font` drawing with `family` first, then the faces of the window's language.
void setFamily(QFont& font, const QString& family) {
    font.setFamilies(QStringList{family} + hanFamilies());
}

QFont desktopFont(qreal pixels) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // The family the desktop's font resolves to: a list of families takes only real ones, not
    // aliases such as "Sans Serif". A system without fonts gets the built-in face for every
    // line, which would otherwise be drawn as empty boxes.
    setFamily(font, desktopHasFaces() ? QFontInfo(font).family() : builtInTitleFamily());
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

bool desktopHasFaces() {
    // The font database lists the generic families ("Sans Serif") even when fontconfig finds
    // no font at all; they then draw every character as an empty box.
    static const bool has =
        QFontMetricsF(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).inFontUcs4(U'a');
    return has;
}

QString builtInTitleFamily() {
    const QStringList families = builtInFamilies();
    return families.isEmpty() ? QString() : families.first();
}

QFont title() {
    QFont font = desktopFont(titlePixels);
    font.setWeight(QFont::DemiBold);
    // With no 600 face the font database picks the bold one (and QFontInfo still reports 600),
    // so the family's faces are looked at.
    if (!hasFace(QFontInfo(font).family(), QFont::DemiBold) && !builtInTitleFamily().isEmpty())
        setFamily(font, builtInTitleFamily());
    font.setLetterSpacing(QFont::AbsoluteSpacing, titleTracking);
    return font;
}

QFont fitted(QFont font, const QString& text, qreal width, int minimumPixels) {
    while (font.pixelSize() > minimumPixels && QFontMetricsF(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

QFont statusLayout() {
    QFont font = desktopFont(statusPixels / statusScale);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace quorvane::fonts
