#include "Languages.h"

#include <algorithm>
#include <cmath>

#include <QCoreApplication>
#include <QGlyphRun>
#include <QTextLayout>

#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::test {
namespace {

QChar accented(QChar c) {
    static const QString plain = QStringLiteral("aeiouycnszAEIOUYCNSZ");
    static const QString marked = QStringLiteral("áéíöüýçñšžÅÉÎÖÜÝÇÑŠŽ");
    const qsizetype at = plain.indexOf(c);
    return at < 0 ? c : marked[at];
}

bool isVowel(QChar c) {
    return QStringLiteral("aeiouAEIOU").contains(c);
}

} // namespace

QString PseudoLanguage::translated(const QString& source) {
    QString body;
    for (qsizetype i = 0; i < source.size(); ++i) {
        const QChar c = source[i];
        if (c == QLatin1Char('%') && i + 1 < source.size() && source[i + 1].isDigit()) {
            body += source.mid(i, 2);
            ++i;
            continue;
        }
        body += accented(c);
        if (isVowel(c))
            body += accented(c);
    }
    const auto wanted = qsizetype(std::ceil(source.size() * 1.4));
    if (body.size() < wanted)
        body += QLatin1Char(' ') + QString(wanted - body.size(), QChar(0x00B7));
    return open + body + close;
}

bool PseudoLanguage::isMarked(const QString& text) {
    return text.size() >= 2 && text.front() == open && text.back() == close;
}

QString PseudoLanguage::translate(const char* context, const char* sourceText, const char*,
                                  int) const {
    // Qt's own texts (font style names and the like) are not the window's.
    const QString where = QString::fromUtf8(context);
    if (!where.startsWith(QLatin1String("quorvane::")))
        return {};
    const QString source = QString::fromUtf8(sourceText);
    lookedUp_.emplace(where, source);
    return translated(source);
}

LanguageScope::LanguageScope(const l10n::UiLanguage& language) {
    l10n::activate(language);
}

LanguageScope::LanguageScope(PseudoLanguage& pseudo) : pseudo_(&pseudo) {
    l10n::activate({});
    QCoreApplication::installTranslator(pseudo_);
}

LanguageScope::~LanguageScope() {
    if (pseudo_)
        QCoreApplication::removeTranslator(pseudo_);
    l10n::activate({});
}

l10n::UiLanguage builtInLanguage(const QString& code) {
    return l10n::chooseLanguage({code}, l10n::builtInTranslations());
}

std::vector<WindowState> everyPhase() {
    const auto phase = [](InstallerPhase p) { return [p](BootstrapModel& m) { m.setPhase(p); }; };
    using Connection = InstallerPhase::Connection;
    const auto downloaded = [](std::int64_t bytes, Connection connection) {
        return [=](BootstrapModel& m) {
            m.setPhase(InstallerPhase::downloading(connection));
            m.setReceived(bytes);
        };
    };
    // The longest failure sentence (any but the configuration's is shown with Retry).
    std::string longest;
    for (int c = 0; c < BootstrapFailure::caseCount; ++c) {
        const std::string message =
            BootstrapFailure(static_cast<BootstrapFailure::Case>(c)).message();
        if (message.size() > longest.size())
            longest = message;
    }
    const auto standard = sampleManifest();
    // Four thousand megabytes, the most a manifest allows: the widest figures.
    const auto largest = sampleManifest(4'000'000'000, std::nullopt);
    return {
        {"1-ready", standard, phase(InstallerPhase::ready())},
        {"2-downloading-42", standard,
         downloaded(21'000'000, Connection::flowing)}, // 42% of the 50 MB tail
        {"3-downloading-4000-mb", largest, downloaded(3'999'600'000, Connection::flowing)},
        {"4-reconnecting", standard, downloaded(21'000'000, Connection::reconnecting)},
        {"4-waiting-for-network", standard, downloaded(21'000'000, Connection::waitingForNetwork)},
        {"5-checking", standard, phase(InstallerPhase::checking()), 0.3},
        {"6-verifying", standard, phase(InstallerPhase::verifying()), 0.6},
        {"7-installing", standard, phase(InstallerPhase::installing()), 0.9},
        {"8-failed-retry", standard, phase(InstallerPhase::failed(longest))},
        {"9-failed-no-retry", std::nullopt, [](BootstrapModel&) {}},
    };
}

int missingGlyphs(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        line.setLineWidth(1e6);
    layout.endLayout();
    int missing = 0;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const auto glyphs = run.glyphIndexes();
        missing += int(std::count(glyphs.begin(), glyphs.end(), 0u));
    }
    return missing;
}

} // namespace quorvane::test
