// The language of the application and its translation catalogues.
//
// Texts in the code are English (the source language) and go through tr();
// each folder of the application keeps its own catalogue
// (translations/gui_LANG.ts, password/translations/password_LANG.ts, ...),
// compiled at build time and embedded under ":/i18n/NAME_LANG.qm". One
// translator is installed per catalogue.
#pragma once

#include <QString>
#include <span>

class QCoreApplication;

namespace tw {

// The languages offered: "en" (the source), "uk", "es", "ru".
inline constexpr const char *kGuiLanguages[] = {"en", "uk", "es", "ru"};

// The catalogue base names, one per folder of the application. A new
// catalogue is one more name here and its .ts files in that folder.
inline constexpr const char *kGuiCatalogues[] = {"gui", "password", "dialogs"};

// The language chosen from the environment: the entries of LANGUAGE (a
// colon-separated list), then LC_ALL, LC_MESSAGES and LANG, in that order;
// the first that is "en", "uk", "es" or "ru" or begins with one of them
// followed by "_", "-", "." or "@" decides. English when none does.
QString gui_language_from_environment();

// The same rule over a given list of candidates (tests use it).
QString gui_language_from_candidates(std::span<const QString> candidates);

// Installs one translator per catalogue for `language` (English gets the
// plural forms of its own catalogue) and makes it the default locale for
// numbers and dates. Catalogues that do not exist for the language are
// skipped. Qt's own catalogue (qtbase_LANG) is installed as well when the
// system has it. Returns the number of this program's catalogues installed.
int gui_install_translators(QCoreApplication &app, const QString &language,
                            std::span<const char *const> catalogues = kGuiCatalogues);

// Removes the translators gui_install_translators installed (tests switch
// languages within one process).
void gui_remove_translators(QCoreApplication &app);

} // namespace tw
