#include "gui/tests/support/catalogue_check.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

namespace tw {

bool catalogue_unfinished(const QString &ts_path, QStringList *unfinished) {
    QFile file(ts_path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader xml(&file);
    QString source;
    bool numerus = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == u"message") {
            numerus = xml.attributes().value(QLatin1String("numerus")) == u"yes";
            source.clear();
        } else if (xml.name() == u"source") {
            source = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const QString type = xml.attributes().value(QLatin1String("type")).toString();
            if (type == u"vanished" || type == u"obsolete")
                continue;
            if (type == u"unfinished") {
                unfinished->append(source);
                continue;
            }
            if (numerus) {
                bool empty_form = false;
                int forms = 0;
                while (xml.readNextStartElement()) {
                    if (xml.name() == u"numerusform") {
                        forms++;
                        if (xml.readElementText().isEmpty())
                            empty_form = true;
                    } else {
                        xml.skipCurrentElement();
                    }
                }
                if (empty_form || forms == 0)
                    unfinished->append(source);
            } else if (xml.readElementText().isEmpty()) {
                unfinished->append(source);
            }
        }
    }
    return !xml.hasError();
}

bool catalogue_check_against_sources(const QString &name, const QString &language,
                                     QStringList *unfinished, QString *error) {
    const QString gui = QStringLiteral(TW_SOURCE_DIR "/gui");
    const QString folder = name == u"gui" ? gui : gui + u'/' + name;
    const QString ts_name = QStringLiteral("%1_%2.ts").arg(name, language);
    QTemporaryDir temporary;
    const QString copy = temporary.filePath(ts_name);
    const QString original = folder + QStringLiteral("/translations/") + ts_name;
    if (QFile::exists(original) && !QFile::copy(original, copy)) {
        *error = QStringLiteral("cannot copy ") + original;
        return false;
    }
    QStringList arguments{QStringLiteral("-silent"), QStringLiteral("-locations"),
                          QStringLiteral("none"), QStringLiteral("-I"),
                          QStringLiteral(TW_SOURCE_DIR)};
    if (language == u"en")
        arguments << QStringLiteral("-pluralonly");
    const QStringList sources =
        QDir(folder).entryList({QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files);
    for (const QString &source : sources)
        arguments << folder + u'/' + source;
    arguments << QStringLiteral("-ts") << copy;
    if (sources.isEmpty())
        return true;
    QProcess lupdate;
    lupdate.start(QStringLiteral(TW_LUPDATE), arguments);
    if (!lupdate.waitForFinished(60000) || lupdate.exitCode() != 0) {
        *error =
            QStringLiteral("lupdate failed: ") + QString::fromUtf8(lupdate.readAllStandardError());
        return false;
    }
    if (!QFile::exists(copy))
        return true; // no texts at all
    if (!catalogue_unfinished(copy, unfinished)) {
        *error = QStringLiteral("cannot read ") + copy;
        return false;
    }
    return true;
}

} // namespace tw
