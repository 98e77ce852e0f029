#include "Translations.h"

#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTranslator>

#include "InstallerIcon.h"

namespace quorvane::l10n {
namespace {

const QString resourceFolder = QStringLiteral(":/quorvane/i18n");
const QString filePrefix = QStringLiteral("quorvane_");

UiLanguage& active() {
    static UiLanguage language;
    return language;
}

std::unique_ptr<QTranslator>& installedTranslator() {
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

// "pt_br.UTF-8@euro" -> "pt_BR", "de-AT" -> "de_AT": the parts a translation is chosen by.
QString normalised(const QString& entry) {
    QStringList parts = entry.section(QLatin1Char('@'), 0, 0)
                            .section(QLatin1Char('.'), 0, 0)
                            .trimmed()
                            .split(QRegularExpression(QStringLiteral("[_-]")), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return {};
    parts.first() = parts.first().toLower();
    for (qsizetype i = 1; i < parts.size(); ++i)
        if (parts[i].size() == 2)
            parts[i] = parts[i].toUpper();
    return parts.join(QLatin1Char('_'));
}

bool isUntranslated(const QString& locale) {
    return locale == QLatin1String("C") || locale == QLatin1String("POSIX");
}

} // namespace

QStringList preferredLanguages(const QProcessEnvironment& environment) {
    QString messages;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        messages = environment.value(QString::fromLatin1(name));
        if (!messages.isEmpty())
            break;
    }
    if (isUntranslated(messages))
        return {QStringLiteral("C")};
    QStringList entries =
        environment.value(QStringLiteral("LANGUAGE")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    entries.append(messages);
    QStringList result;
    for (const QString& entry : entries) {
        const QString language = normalised(entry);
        if (!language.isEmpty() && !result.contains(language))
            result.append(language);
    }
    return result;
}

UiLanguage chooseLanguage(const QStringList& preferred, const QStringList& available) {
    for (const QString& entry : preferred) {
        QString candidate = normalised(entry);
        const QString language = candidate.section(QLatin1Char('_'), 0, 0);
        if (language == QLatin1String("en") || language == QLatin1String("c") ||
            language == QLatin1String("posix"))
            return {};
        // One written language, two scripts: the region or script says which.
        if (language == QLatin1String("zh"))
            candidate = QLocale(candidate).script() == QLocale::TraditionalHanScript
                            ? QStringLiteral("zh_TW")
                            : QStringLiteral("zh_CN");
        for (;;) {
            if (available.contains(candidate))
                return {candidate, QLocale(entry)};
            const qsizetype cut = candidate.lastIndexOf(QLatin1Char('_'));
            if (cut <= 0)
                break;
            candidate.truncate(cut);
        }
    }
    return {};
}

QStringList builtInTranslations() {
    registerInstallerResources();
    QStringList codes;
    const QStringList files =
        QDir(resourceFolder).entryList({filePrefix + QStringLiteral("*.qm")}, QDir::Files);
    for (const QString& file : files)
        codes.append(file.mid(filePrefix.size()).chopped(3));
    codes.sort();
    return codes;
}

QString translationResource(const QString& code) {
    return resourceFolder + QLatin1Char('/') + filePrefix + code + QStringLiteral(".qm");
}

void activate(const UiLanguage& language) {
    registerInstallerResources();
    if (auto& translator = installedTranslator()) {
        QCoreApplication::removeTranslator(translator.get());
        translator.reset();
    }
    active() = {};
    if (!language.isEnglish()) {
        auto translator = std::make_unique<QTranslator>();
        // A built-in translation that does not load leaves the window in English.
        if (translator->load(translationResource(language.translation)) &&
            QCoreApplication::installTranslator(translator.get())) {
            installedTranslator() = std::move(translator);
            active() = language;
        }
    }
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QGuiApplication::setLayoutDirection(
            active().isEnglish() ? Qt::LeftToRight : QLocale(active().translation).textDirection());
}

const UiLanguage& current() {
    return active();
}

QString number(qint64 value) {
    QLocale locale = current().isEnglish() ? QLocale::c() : current().locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value);
}

} // namespace quorvane::l10n
