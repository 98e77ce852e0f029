#pragma once

#include <QLocale>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace quorvane::l10n {

// The language the window speaks: one of the translations built into the program, or English,
// the texts as the code writes them.
struct UiLanguage {
    // The translation's code ("de", "pt_BR", "zh_TW"); empty for English.
    QString translation;
    // The user's own entry that chose it ("ar_MA" for the Arabic translation): its digits.
    QLocale locale = QLocale::c();

    bool isEnglish() const { return translation.isEmpty(); }
    friend bool operator==(const UiLanguage&, const UiLanguage&) = default;
};

// The user's languages, most wanted first, as desktop programs on Linux read them: the entries
// of LANGUAGE, then the first of LC_ALL, LC_MESSAGES and LANG that is set. A locale of "C" or
// "POSIX" asks for the untranslated texts, and then LANGUAGE is not looked at (as gettext does).
// Entries come as "ll" or "ll_CC", without codeset or modifier.
QStringList preferredLanguages(const QProcessEnvironment& environment);

// The first of `preferred` that a translation in `available` (codes as "de", "pt_BR") serves,
// each entry falling back from "ll_CC" to "ll" before the next entry is tried; Chinese entries
// go by script ("zh_HK" reads Traditional, "zh_TW"; "zh" and "zh_SG" Simplified, "zh_CN"). An
// English entry stops the search at English, which is also the answer when nothing matches.
UiLanguage chooseLanguage(const QStringList& preferred, const QStringList& available);

// The codes of the translations built into the program, sorted.
QStringList builtInTranslations();
// Where the translation of `code` is built into the program.
QString translationResource(const QString& code);

// Makes `language` the application's: its translation installed (any earlier one removed), the
// layout direction of its script, its digits. Call it before the window is made: texts are
// looked up when the widgets are built.
void activate(const UiLanguage& language);
// The language activated last; English before any.
const UiLanguage& current();

// A whole number as the current language writes it: its own digits, never grouped.
QString number(qint64 value);

} // namespace quorvane::l10n
