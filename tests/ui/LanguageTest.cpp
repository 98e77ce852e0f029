// The window in every built-in language and in a pseudo-language: how the language is chosen,
// that every text the window looks up is translated with its placeholders, and that every phase
// fits its place with every glyph drawn, at one and two device pixels per point.
#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QRegularExpression>
#include <QTextLayout>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include "BootstrapWindow.h"
#include "InstallerFonts.h"
#include "Languages.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// The languages the installer promises; it may carry more.
const std::vector<std::string> promised = {"ar", "cs", "de", "es", "fr",    "he",   "hi",
                                           "id", "it", "ja", "ko", "nl",    "pl",   "pt_BR",
                                           "ru", "sv", "tr", "uk", "zh_CN", "zh_TW"};

// A window in `state`, shown offscreen; the model is on a system too old for start(), so that
// showing the window changes nothing.
struct ShownWindow {
    explicit ShownWindow(const WindowState& state)
        : fixture(state.manifest, 0), window(fixture.model) {
        window.view().progressBar().setClock([t = state.clock] { return t; });
        window.show();
        QApplication::processEvents();
        state.setUp(*fixture.model);
        QApplication::processEvents(); // new heights reach the layout
    }
    BootstrapView& view() { return window.view(); }

    ModelFixture fixture;
    BootstrapWindow window;
};

QString barName(BootstrapView& view) {
    return QAccessible::queryAccessibleInterface(&view.progressBar())->text(QAccessible::Name);
}

// Where `widget`'s own drawing (no background) reaches the edge of its rectangle at `ratio`, or
// nothing: text cut off at a widget's edge leaves ink there.
std::optional<std::string> inkAtEdge(QWidget& widget, qreal ratio) {
    QImage image((QSizeF(widget.size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    const auto inked = [&](int x, int y) { return qAlpha(image.pixel(x, y)) > 48; };
    for (int x = 0; x < image.width(); ++x)
        if (inked(x, 0) || inked(x, image.height() - 1))
            return "ink on the top or bottom edge at x " + std::to_string(x);
    for (int y = 0; y < image.height(); ++y)
        if (inked(0, y) || inked(image.width() - 1, y))
            return "ink on the left or right edge at y " + std::to_string(y);
    return std::nullopt;
}

// Where `line`'s text, drawn as the line draws it but on a canvas taller than the line, puts
// ink above or below the line's box (where the line's own drawing would be cut), or nothing.
std::optional<std::string> inkOutside(StatusLine& line, qreal ratio) {
    constexpr int margin = 20;
    QImage image(QSize(line.width(), line.height() + 2 * margin) * ratio,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.translate(0, margin + line.textTop(line.width()));
        painter.scale(fonts::statusScale, fonts::statusScale);
        line.textLayout(line.width())->draw(&painter, QPointF(0, 0));
    }
    for (int y = 0; y < image.height(); ++y) {
        const qreal at = y / ratio - margin;
        if (at > -1 && at < line.height())
            continue;
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 48)
                return "ink at " + std::to_string(at) + " of a line " +
                       std::to_string(line.height()) + " high";
    }
    return std::nullopt;
}

// Everything the window shows in its state fits its place with every glyph drawn: the title on
// one line of at least the smallest size, uncut at one and two pixels per point; phase lines on
// at most two lines; the status block's lines whole, apart from each other and from Retry,
// inside the window; and the column's drawings where they are in English (`iconRect`).
void expectFits(BootstrapWindow& window, const QRect& iconRect) {
    BootstrapView& view = window.view();
    QLabel& title = view.title();
    SCOPED_TRACE(title.text().toStdString());
    EXPECT_GE(title.font().pixelSize(), fonts::minimumTitlePixels);
    EXPECT_FALSE(title.wordWrap());
    EXPECT_LE(QFontMetricsF(title.font()).horizontalAdvance(title.text()), title.width());
    EXPECT_EQ(missingGlyphs(title.text(), title.font()), 0);
    EXPECT_EQ(view.iconRect(), iconRect);

    StatusBlock& block = view.statusBlock();
    const bool failure = block.content().failure;
    const QRect inside = QRect(QPoint(0, 0), view.size());
    EXPECT_TRUE(inside.contains(block.geometry())) << "the status block leaves the window";
    int bottom = -1;
    for (QWidget* item : block.visibleItems()) {
        const QRect place = item->geometry();
        EXPECT_TRUE(QRect(QPoint(0, 0), block.size()).contains(place));
        EXPECT_GT(place.top(), bottom) << "overlaps the item above";
        bottom = place.bottom();
        if (auto* line = qobject_cast<StatusLine*>(item)) {
            SCOPED_TRACE(line->text().toStdString());
            EXPECT_EQ(missingGlyphs(line->text(), fonts::statusLayout()), 0);
            EXPECT_GE(line->height(), line->heightForWidth(line->width())) << "lines cut off";
            if (!failure) {
                EXPECT_LE(line->lineCount(line->width()), 2);
            }
            for (const qreal ratio : {1.0, 2.0}) {
                EXPECT_EQ(inkOutside(*line, ratio), std::nullopt) << "at ratio " << ratio;
            }
        } else {
            auto& retry = static_cast<LinkButton&>(*item);
            EXPECT_EQ(missingGlyphs(retry.text(), fonts::statusLayout()), 0);
            EXPECT_GE(retry.width(), StatusLine::advance(retry.text(), &retry));
        }
    }
    // The title's drawing at both pixel ratios (its box has room around the face's line).
    for (const qreal ratio : {1.0, 2.0}) {
        EXPECT_EQ(inkAtEdge(title, ratio), std::nullopt) << "title at ratio " << ratio;
    }
}

QRect englishIconRect() {
    ShownWindow english(everyPhase().front());
    return english.view().iconRect();
}

// `%1`, `%2`... of `text`, sorted.
QStringList placeholders(const QString& text) {
    QStringList found;
    for (const auto& match : QRegularExpression("%\\d").globalMatch(text))
        found.append(match.captured());
    found.sort();
    return found;
}

// (context, source) of every text the window looks up in any phase.
std::set<std::pair<QString, QString>> textsTheWindowLooksUp() {
    PseudoLanguage pseudo;
    LanguageScope scope(pseudo);
    for (const WindowState& state : everyPhase()) {
        ShownWindow shown(state);
        barName(shown.view());
    }
    return pseudo.lookedUp();
}

} // namespace

TEST(Languages, chosenAsDesktopProgramsChooseThem) {
    using Environment = std::map<QString, QString>;
    struct Case {
        const char* name;
        Environment environment;
        QString translation; // empty: English
        QString locale;      // the entry whose digits are used
    } cases[] = {
        {"nothing set", {}, "", "C"},
        {"LANG alone", {{"LANG", "de_DE.UTF-8"}}, "de", "de_DE"},
        {"LANGUAGE first, in order",
         {{"LANGUAGE", "pt_BR:de"}, {"LANG", "fr_FR.UTF-8"}},
         "pt_BR",
         "pt_BR"},
        {"pt_PT falls back to pt, then the next entry", {{"LANGUAGE", "pt_PT:de"}}, "de", "de"},
        {"pt alone finds no pt_BR", {{"LANGUAGE", "pt_PT"}, {"LANG", "C.UTF-8"}}, "", "C"},
        {"an unknown entry, then the locale",
         {{"LANGUAGE", "eo"}, {"LANG", "fr_CA.UTF-8"}},
         "fr",
         "fr_CA"},
        {"English first wins", {{"LANGUAGE", "en_GB:de"}}, "", "C"},
        {"LC_ALL over LC_MESSAGES over LANG",
         {{"LC_ALL", "it_IT.UTF-8"}, {"LC_MESSAGES", "sv_SE.UTF-8"}, {"LANG", "de_DE.UTF-8"}},
         "it",
         "it_IT"},
        {"LC_MESSAGES over LANG",
         {{"LC_MESSAGES", "sv_SE.UTF-8"}, {"LANG", "de_DE.UTF-8"}},
         "sv",
         "sv_SE"},
        {"the C locale ignores LANGUAGE", {{"LC_ALL", "C"}, {"LANGUAGE", "de"}}, "", "C"},
        {"C.UTF-8 does not", {{"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}}, "de", "de"},
        {"codeset and modifier", {{"LANG", "de_AT.ISO-8859-15@euro"}}, "de", "de_AT"},
        {"empty entries", {{"LANGUAGE", "::uk:"}}, "uk", "uk"},
        {"Hong Kong reads Traditional", {{"LANG", "zh_HK.UTF-8"}}, "zh_TW", "zh_HK"},
        {"Singapore reads Simplified", {{"LANG", "zh_SG.UTF-8"}}, "zh_CN", "zh_SG"},
        {"Chinese alone is Simplified", {{"LANGUAGE", "zh"}}, "zh_CN", "zh"},
        {"Moroccan Arabic keeps its digits", {{"LANG", "ar_MA.UTF-8"}}, "ar", "ar_MA"},
    };
    const QStringList available = l10n::builtInTranslations();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment environment;
        for (const auto& [name, value] : c.environment)
            environment.insert(name, value);
        const auto chosen = l10n::chooseLanguage(l10n::preferredLanguages(environment), available);
        EXPECT_EQ(chosen.translation, c.translation);
        EXPECT_EQ(chosen.locale, QLocale(c.locale)) << chosen.locale.name().toStdString();
    }
}

TEST(Languages, everyLanguageTranslatesEveryTextWithItsPlaceholders) {
    const QStringList built = l10n::builtInTranslations();
    for (const std::string& code : promised)
        EXPECT_TRUE(built.contains(QString::fromStdString(code))) << code << " is not built in";

    const auto texts = textsTheWindowLooksUp();
    ASSERT_GE(texts.size(), 11u);
    for (const QString& code : built) {
        SCOPED_TRACE(code.toStdString());
        QTranslator translator;
        ASSERT_TRUE(translator.load(l10n::translationResource(code)));
        for (const auto& [context, source] : texts) {
            SCOPED_TRACE(source.toStdString());
            const QString translation =
                translator.translate(context.toUtf8().constData(), source.toUtf8().constData());
            ASSERT_FALSE(translation.isEmpty()) << "not translated";
            EXPECT_NE(translation, source);
            EXPECT_EQ(placeholders(translation), placeholders(source)) << translation.toStdString();
            EXPECT_EQ(translation.endsWith(u'…'), source.endsWith(u'…'))
                << translation.toStdString();
            EXPECT_EQ(translation.trimmed(), translation);
        }

        // The source the translation is built from: every text finished and explained to the
        // translator.
        QFile file(QUORVANE_SOURCE_DIR "/resources/translations/quorvane_" + code + ".ts");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QXmlStreamReader ts(&file);
        int messages = 0, comments = 0;
        while (!ts.atEnd()) {
            if (ts.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (ts.name() == u"message") {
                ++messages;
            } else if (ts.name() == u"extracomment") {
                comments += !ts.readElementText().trimmed().isEmpty();
            } else if (ts.name() == u"translation") {
                EXPECT_TRUE(ts.attributes().value("type").isEmpty())
                    << ts.attributes().value("type").toString().toStdString() << " translation";
            }
        }
        EXPECT_FALSE(ts.hasError()) << ts.errorString().toStdString();
        EXPECT_EQ(messages, int(texts.size()));
        EXPECT_EQ(comments, messages) << "a text without a translator's comment";
    }
}

TEST(Languages, figuresInTheLanguagesDigitsWithoutGroupingWhileTheValueAndFailuresStay) {
    struct Case {
        QString entry;
        std::int64_t received;
        bool largest;
        QString line;
    } cases[] = {
        {"de_DE", 3'999'600'000, true, "4000 MB von 4000 MB"},
        {"fr_FR", 21'000'000, false, "21 Mo sur 50 Mo"},
        {"hi_IN", 21'000'000, false, "50 MB में से 21 MB"},
        {"ar_EG", 21'000'000, false, "٢١ ميغابايت من ٥٠ ميغابايت"},
        {"ar_MA", 21'000'000, false, "21 ميغابايت من 50 ميغابايت"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry.toStdString());
        LanguageScope scope(l10n::chooseLanguage({c.entry}, l10n::builtInTranslations()));
        ModelFixture fixture(
            c.largest ? sampleManifest(4'000'000'000, std::nullopt) : sampleManifest(), 0);
        BootstrapView view(fixture.model);
        fixture.model->setPhase(InstallerPhase::downloading());
        fixture.model->setReceived(c.received);
        EXPECT_EQ(view.statusBlock().content().lines.value(1), c.line);
        if (!c.largest) {
            EXPECT_EQ(view.progressBar().accessibleValue(), "42%");
        }
        const std::string& sentence = BootstrapFailure::download.message();
        fixture.model->setPhase(InstallerPhase::failed(sentence));
        EXPECT_EQ(view.statusBlock().content().lines.value(0).toStdString(), sentence);
    }
}

class EveryLanguage : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryLanguage, everyPhaseFitsWithEveryGlyphAtOneAndTwoPixelsPerPoint) {
    const QRect iconRect = englishIconRect();
    const QString code = QString::fromStdString(GetParam());
    LanguageScope scope(builtInLanguage(code));
    ASSERT_EQ(l10n::current().translation, code);
    for (const WindowState& state : everyPhase()) {
        SCOPED_TRACE(state.name);
        ShownWindow shown(state);
        expectFits(shown.window, iconRect);
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, EveryLanguage, ::testing::ValuesIn(promised),
                         [](const auto& info) { return info.param; });

TEST(Languages, rightToLeftTextWhileTheDrawingsKeepTheirPlace) {
    // The English window, downloading at 42%, as the reference for the drawings.
    const WindowState downloading = everyPhase()[1];
    ShownWindow english(downloading);
    const QImage reference = render(english.window);
    const QRect close = english.window.titlebar().closeButton().geometry();
    const GoldRun fill = goldAlongBar(english.view());
    const QRect icon = english.view().iconRect().translated(0, InstallerTitlebar::stripHeight);
    const QRect bar =
        english.view().progressBar().geometry().translated(0, InstallerTitlebar::stripHeight);

    for (const QString code : {"ar", "he"}) {
        SCOPED_TRACE(code.toStdString());
        LanguageScope scope(builtInLanguage(code));
        ShownWindow shown(downloading);
        BootstrapView& view = shown.view();
        EXPECT_EQ(shown.window.layoutDirection(), Qt::RightToLeft);
        EXPECT_EQ(view.title().layoutDirection(), Qt::RightToLeft);
        EXPECT_EQ(view.statusBlock().firstLine().textDirection(), Qt::RightToLeft);

        // The bar fills from the left, the close control stays at the right, and the strip, the
        // icon over the waves and the bar are drawn as in English.
        const GoldRun run = goldAlongBar(view);
        EXPECT_EQ(run.first, fill.first);
        EXPECT_EQ(run.last, fill.last);
        EXPECT_EQ(shown.window.titlebar().closeButton().geometry(), close);
        const QImage image = render(shown.window);
        for (const QRect& area :
             {QRect(0, 0, image.width(), InstallerTitlebar::stripHeight), icon, bar})
            EXPECT_EQ(image.copy(area), reference.copy(area));

        // A failure sentence stays English, left to right (its full stop at its end).
        shown.fixture.model->setPhase(InstallerPhase::failed(BootstrapFailure::download.message()));
        EXPECT_EQ(view.statusBlock().firstLine().textDirection(), Qt::LeftToRight);
    }
}

TEST(PseudoLanguage, everyTextGoesThroughTranslationAndLongerTextsFit) {
    const QRect iconRect = englishIconRect();
    PseudoLanguage pseudo;
    LanguageScope scope(pseudo);
    for (const WindowState& state : everyPhase()) {
        SCOPED_TRACE(state.name);
        ShownWindow shown(state);
        BootstrapView& view = shown.view();
        EXPECT_TRUE(PseudoLanguage::isMarked(shown.window.windowTitle()));
        EXPECT_TRUE(PseudoLanguage::isMarked(view.title().text()));
        const auto& close = shown.window.titlebar().closeButton();
        EXPECT_TRUE(PseudoLanguage::isMarked(close.accessibleName()));
        EXPECT_TRUE(PseudoLanguage::isMarked(close.toolTip()));
        EXPECT_TRUE(PseudoLanguage::isMarked(barName(view)));

        const StatusBlock::Content& content = view.statusBlock().content();
        const QString description = shown.window.accessibleDescription();
        if (content.failure) {
            // The sentence as the phase carries it, and nothing else is looked up for it.
            const QString sentence = QString::fromStdString(shown.fixture.model->phase().message());
            EXPECT_EQ(content.lines, QStringList{sentence});
            EXPECT_EQ(view.statusBlock().failureSentence(), sentence);
            EXPECT_EQ(description, sentence);
            if (content.retry) {
                EXPECT_TRUE(PseudoLanguage::isMarked(view.statusBlock().retryButton().text()));
                EXPECT_EQ(view.statusBlock().retryButton().accessibleDescription(), sentence);
            }
        } else {
            for (const QString& line : content.lines) {
                EXPECT_TRUE(PseudoLanguage::isMarked(line)) << line.toStdString();
            }
            EXPECT_TRUE(PseudoLanguage::isMarked(description)) << description.toStdString();
        }
        // The bar's value is a figure, not a text.
        const QString value = view.progressBar().accessibleValue();
        EXPECT_TRUE(value.isEmpty() || QRegularExpression("^\\d+%$").match(value).hasMatch())
            << value.toStdString();
        expectFits(shown.window, iconRect);
    }
}

// Han characters drawn in the regional face of the window's language, though the tests' session
// locale is C, for which the desktop would draw them all the Japanese way. One process per
// language: Qt keeps a face's fallbacks for the process's life, as the installer's one language.
class HanForms : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(HanForms, hanCharactersTakeTheFormsOfTheWindowsLanguage) {
    const auto& [code, family] = GetParam();
    LanguageScope scope(builtInLanguage(QString::fromStdString(code)));
    for (const QFont& font : {fonts::statusLayout(), fonts::title()}) {
        QTextLayout layout(QString::fromUtf8("Quorvane Pro 直角"), font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        QStringList families;
        for (const QGlyphRun& run : layout.glyphRuns())
            families.append(run.rawFont().familyName());
        EXPECT_TRUE(families.contains(QString::fromStdString(family)))
            << families.join(", ").toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, HanForms,
                         ::testing::Values(std::pair{"ja", "Noto Sans CJK JP"},
                                           std::pair{"ko", "Noto Sans CJK KR"},
                                           std::pair{"zh_CN", "Noto Sans CJK SC"},
                                           std::pair{"zh_TW", "Noto Sans CJK TC"}),
                         [](const auto& info) { return info.param.first; });

namespace {

// A translation whose title is `title`.
class TitleOnly : public QTranslator {
public:
    explicit TitleOnly(QString title) : title_(std::move(title)) {}
    QString translate(const char*, const char* source, const char*, int) const override {
        return QByteArray(source) == "Installing %1" ? title_ : QString();
    }
    bool isEmpty() const override { return false; }

private:
    QString title_;
};

} // namespace

TEST(Languages, aLongTitleShrinksDownToTheSmallestSizeThenWraps) {
    const QRect iconRect = englishIconRect();
    struct Case {
        int repeats; // of the product's name
        bool shrinks, wraps;
    } cases[] = {{2, false, false}, {3, true, false}, {5, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.repeats);
        TitleOnly translation(QString("%1 ").repeated(c.repeats).trimmed());
        QCoreApplication::installTranslator(&translation);
        ModelFixture fixture(sampleManifest(), 0);
        BootstrapWindow window(fixture.model);
        window.show();
        QApplication::processEvents();
        QCoreApplication::removeTranslator(&translation);
        QLabel& title = window.view().title();
        const int pixels = title.font().pixelSize();
        EXPECT_EQ(pixels < fonts::titlePixels, c.shrinks) << pixels;
        EXPECT_EQ(pixels == fonts::minimumTitlePixels, c.wraps) << pixels;
        EXPECT_EQ(title.wordWrap(), c.wraps);
        if (!c.wraps) {
            // The largest size that fits, in the place of the full-size title.
            EXPECT_LE(QFontMetricsF(title.font()).horizontalAdvance(title.text()), title.width());
            QFont larger = title.font();
            larger.setPixelSize(pixels + 1);
            if (pixels < fonts::titlePixels) {
                EXPECT_GT(QFontMetricsF(larger).horizontalAdvance(title.text()), title.width());
            }
            EXPECT_EQ(window.view().iconRect(), iconRect);
        } else {
            // Past the smallest size no word is lost: the title wraps, uncut.
            EXPECT_GE(title.height(), title.heightForWidth(title.width()));
            EXPECT_EQ(inkAtEdge(title, 1.0), std::nullopt);
        }
    }
}
