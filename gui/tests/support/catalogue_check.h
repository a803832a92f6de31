// Checks of the translation catalogues (.ts files).
#pragma once

#include <QString>
#include <QStringList>

namespace tw {

// Reads a .ts file and lists every entry still to be translated: an
// unfinished translation, an empty one, or an empty plural form. Vanished
// and obsolete entries are ignored. False when the file cannot be read or
// parsed.
bool catalogue_unfinished(const QString &ts_path, QStringList *unfinished);

// Brings a copy of the catalogue `name` for `language` up to date with the
// sources of its folder (lupdate; only plural texts for English) and lists
// what is unfinished in that copy. The folder is gui/ for "gui", else
// gui/NAME/. False (with *error) when lupdate could not run.
bool catalogue_check_against_sources(const QString &name, const QString &language,
                                     QStringList *unfinished, QString *error);

} // namespace tw
