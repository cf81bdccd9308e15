#include "app/Translations.h"

#include "base/AppPaths.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>

namespace quellnet {

Q_LOGGING_CATEGORY(lcTranslations, "quellnet.translations", QtInfoMsg)

QString Translations::directory()
{
    return AppPaths::resource(QStringLiteral("translations"));
}

QString Translations::install(QCoreApplication *application, const QLocale &locale)
{
    auto *own = new QTranslator(application);
    // Tries each of the locale's languages in the desktop's order of preference.
    if (!own->load(locale, QStringLiteral("quellnet"), QStringLiteral("_"), directory())) {
        qCDebug(lcTranslations) << "no catalogue for" << locale.uiLanguages() << "in" << directory();
        delete own;
        return QString();
    }
    QCoreApplication::installTranslator(own);
    const QString language = own->language();

    // Qt's own texts in the same language, not the desktop's first choice: a French desktop that
    // also lists German gets German context menus in a German window, not French ones.
    auto *qt = new QTranslator(application);
    const QString qtDirectory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (qt->load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"), qtDirectory)) {
        QCoreApplication::installTranslator(qt);
    } else {
        qCInfo(lcTranslations) << "Qt's own texts stay English: no qtbase catalogue for" << language << "in"
                               << qtDirectory;
        delete qt;
    }
    return language;
}

} // namespace quellnet
