#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <QFont>
#include <QString>
#include <QTranslator>

#include "BootstrapModel.h"
#include "Translations.h"

namespace quorvane::test {

// A made-up language that shows what went through translation: every text accented, about 40%
// longer, between the marks "⟦" and "⟧", its placeholders kept. It records what it was asked
// for, so that a test can tell which texts the window looks up.
class PseudoLanguage : public QTranslator {
public:
    static constexpr QChar open = QChar(0x27E6);
    static constexpr QChar close = QChar(0x27E7);

    static QString translated(const QString& source);
    static bool isMarked(const QString& text);

    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }

    // (context, source) of every text looked up so far.
    const std::set<std::pair<QString, QString>>& lookedUp() const { return lookedUp_; }

private:
    mutable std::set<std::pair<QString, QString>> lookedUp_;
};

// The application speaks `language` (or the pseudo-language) until the scope ends, then English
// again. Make windows inside the scope: their texts are looked up when they are built.
class LanguageScope {
public:
    explicit LanguageScope(const l10n::UiLanguage& language);
    explicit LanguageScope(PseudoLanguage& pseudo);
    ~LanguageScope();
    LanguageScope(const LanguageScope&) = delete;
    LanguageScope& operator=(const LanguageScope&) = delete;

private:
    PseudoLanguage* pseudo_ = nullptr;
};

// A built-in translation as the installer would choose it for `code` ("ar", "pt_BR").
l10n::UiLanguage builtInLanguage(const QString& code);

// One state of the window worth looking at in every language.
struct WindowState {
    std::string name;                          // also a file name
    std::optional<BootstrapManifest> manifest; // none: the installer is broken
    std::function<void(BootstrapModel&)> setUp;
    double clock = 0; // seconds since the reference date; places the busy segment
};
// Every phase the window shows, with the figures and sentences that need the most room.
std::vector<WindowState> everyPhase();

// How many glyphs of `text`, laid out in `font` with the desktop's fallbacks, are missing
// (drawn as the font's replacement box).
int missingGlyphs(const QString& text, const QFont& font);

} // namespace quorvane::test
