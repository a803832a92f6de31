#include "gui/app_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>
#include <vector>

namespace tw {

namespace {

// Translators live until removed; the application only keeps pointers.
std::vector<std::unique_ptr<QTranslator>> &installed_translators() {
    static std::vector<std::unique_ptr<QTranslator>> translators;
    return translators;
}

QString match_language(const QString &candidate) {
    for (const char *language : kGuiLanguages) {
        const QString code = QString::fromLatin1(language);
        if (candidate == code)
            return code;
        if (candidate.size() > code.size() && candidate.startsWith(code)) {
            const QChar next = candidate.at(code.size());
            if (next == u'_' || next == u'-' || next == u'.' || next == u'@')
                return code;
        }
    }
    return QString();
}

} // namespace

QString gui_language_from_candidates(std::span<const QString> candidates) {
    for (const QString &candidate : candidates) {
        const QString language = match_language(candidate);
        if (!language.isEmpty())
            return language;
    }
    return QStringLiteral("en");
}

QString gui_language_from_environment() {
    std::vector<QString> candidates;
    const QString list = qEnvironmentVariable("LANGUAGE");
    for (const QString &item : list.split(u':', Qt::SkipEmptyParts))
        candidates.push_back(item);
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            candidates.push_back(value);
    }
    return gui_language_from_candidates(candidates);
}

int gui_install_translators(QCoreApplication &app, const QString &language,
                            std::span<const char *const> catalogues) {
    gui_remove_translators(app);
    QLocale::setDefault(QLocale(language));
    int installed = 0;
    // Qt's own texts (standard buttons, file dialogs) come from the system's
    // Qt catalogues when they are installed.
    if (language != u"en") {
        auto translator = std::make_unique<QTranslator>();
        if (translator->load(QStringLiteral("qtbase_") + language,
                             QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            app.installTranslator(translator.get());
            installed_translators().push_back(std::move(translator));
        }
    }
    for (const char *catalogue : catalogues) {
        auto translator = std::make_unique<QTranslator>();
        const QString file =
            QStringLiteral(":/i18n/%1_%2.qm").arg(QString::fromLatin1(catalogue), language);
        if (!translator->load(file))
            continue;
        app.installTranslator(translator.get());
        installed_translators().push_back(std::move(translator));
        installed++;
    }
    return installed;
}

void gui_remove_translators(QCoreApplication &app) {
    for (auto &translator : installed_translators())
        app.removeTranslator(translator.get());
    installed_translators().clear();
}

} // namespace tw
