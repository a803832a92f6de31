#include "gui/dialogs/dialog_support.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>

namespace tw {

namespace {

const DialogTestHooks *g_hooks = nullptr;

} // namespace

void dialogs_set_test_hooks(const DialogTestHooks *hooks) {
    g_hooks = hooks;
}

const JsonValue *dialog_creation_options(GuiShell *shell, QString *error) {
    if (g_hooks && g_hooks->creation_options)
        return g_hooks->creation_options;
    return shell_creation_options(shell, error);
}

int dialog_start_creation(GuiShell *shell, std::unique_ptr<CreationJob> job) {
    if (g_hooks && g_hooks->start_creation)
        return g_hooks->start_creation(std::move(job));
    return shell_start_creation(shell, std::move(job));
}

bool dialog_activity_state(GuiShell *shell, int activity, ActivityState *out) {
    if (g_hooks && g_hooks->activity_state)
        return g_hooks->activity_state(activity, out);
    return shell_activity_state(shell, activity, out);
}

void dialog_cancel_activity(GuiShell *shell, int activity) {
    if (g_hooks && g_hooks->cancel_activity)
        return g_hooks->cancel_activity(activity);
    shell_cancel_activity(shell, activity);
}

int dialog_save_preferences(GuiShell *shell, const QString &entry_id, JsonValue *preferences) {
    if (g_hooks && g_hooks->save_preferences)
        return g_hooks->save_preferences(entry_id, preferences);
    return shell_save_preferences(shell, entry_id, preferences);
}

int dialog_forget_password(GuiShell *shell, const QString &entry_id) {
    if (g_hooks && g_hooks->forget_password)
        return g_hooks->forget_password(entry_id);
    return shell_forget_password(shell, entry_id);
}

void cipher_combo_fill(QComboBox *combo, const JsonValue *options, const QString &first_text,
                       uint32_t select) {
    combo->clear();
    if (!first_text.isEmpty())
        combo->addItem(first_text, 255u);
    const JsonValue *ciphers = json_get(options, "ciphers");
    if (ciphers && ciphers->kind == JsonKind::Array) {
        for (const JsonValue *c = json_first(ciphers); c; c = json_next(c)) {
            const auto algorithm = static_cast<uint32_t>(json_get_int(c, "algorithm", 255));
            combo->addItem(QString::fromUtf8(json_get_string(c, "cipher", "")), algorithm);
        }
    }
    const int index = combo->findData(select);
    combo->setCurrentIndex(index >= 0 ? index : 0);
}

uint32_t cipher_combo_value(const QComboBox *combo) {
    const QVariant data = combo->currentData();
    return data.isValid() ? data.toUInt() : 255u;
}

QString cipher_note(const QString &name) {
    if (name == u"AES-256-XTS")
        return Dialogs::tr("AES with 256-bit keys in XTS mode for disk encryption.");
    if (name == u"XChaCha20")
        return Dialogs::tr("AES-256-XTS is recommended. Read the XChaCha20 security notice in "
                           "Important Information and Licenses.");
    if (name == u"SSE1")
        return Dialogs::tr("AES-256-XTS is recommended. Read the SSE1 security notice in "
                           "Important Information and Licenses.");
    if (name == u"XOR")
        return Dialogs::tr("XOR provides obfuscation only. It does not protect confidential "
                           "data. AES-256-XTS is recommended.");
    return QString();
}

int cipher_password_limit(const JsonValue *options, uint32_t algorithm) {
    const JsonValue *ciphers = json_get(options, "ciphers");
    if (!ciphers || ciphers->kind != JsonKind::Array)
        return 0;
    for (const JsonValue *c = json_first(ciphers); c; c = json_next(c))
        if (json_get_int(c, "algorithm", -1) == algorithm)
            return static_cast<int>(json_get_int(c, "passwordLimit", 0));
    return 0;
}

uint32_t cipher_default(const JsonValue *options) {
    return static_cast<uint32_t>(json_get_int(options, "algorithm", 9));
}

void compression_combo_fill(QComboBox *combo, bool keep) {
    combo->clear();
    if (keep)
        combo->addItem(Dialogs::tr("Keep Current Setting"), QString());
    combo->addItem(Dialogs::tr("Off"), QStringLiteral("off"));
    combo->addItem(Dialogs::tr("Fast (LZ4)"), QStringLiteral("fast"));
    combo->setCurrentIndex(0);
}

CompressionChoice compression_combo_value(const QComboBox *combo) {
    CompressionChoice choice;
    const QString mode = combo->currentData().toString();
    if (mode.isEmpty())
        return choice;
    choice.given = true;
    choice.mode = mode.toStdString();
    choice.chunk_size = 16384;
    return choice;
}

QString compression_note() {
    return Dialogs::tr("Fast compression can save disk space. Storage grows as you add data; "
                       "keep free space on the disk containing this file.");
}

QString dialog_choose_file(QWidget *parent, const FileChoice &choice) {
    for (;;) {
        QString path;
        if (g_hooks && g_hooks->choose_file) {
            path = g_hooks->choose_file(choice);
        } else {
            // Qt's own chooser, so that the note can stand under its fields.
            QFileDialog chooser(parent, choice.title);
            chooser.setOption(QFileDialog::DontUseNativeDialog, true);
            chooser.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
            chooser.setFileMode(choice.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
            // Existing files are refused below with this system's own text.
            chooser.setOption(QFileDialog::DontConfirmOverwrite, true);
            chooser.setDirectory(choice.folder.isEmpty() ? QDir::homePath() : choice.folder);
            if (!choice.default_name.isEmpty())
                chooser.selectFile(choice.default_name);
            if (!choice.filter.isEmpty()) {
                chooser.setNameFilter(choice.filter);
                // A new file gets the filter's extension when none is typed.
                const qsizetype star = choice.filter.indexOf(QStringLiteral("(*."));
                const qsizetype end = choice.filter.indexOf(u')', star);
                if (choice.save && star >= 0 && end > star)
                    chooser.setDefaultSuffix(choice.filter.mid(star + 3, end - star - 3));
            }
            if (!choice.note.isEmpty()) {
                if (auto *grid = qobject_cast<QGridLayout *>(chooser.layout())) {
                    auto *note = new QLabel(choice.note, &chooser);
                    note->setWordWrap(true);
                    grid->addWidget(note, grid->rowCount(), 0, 1, grid->columnCount());
                }
            }
            if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
                return QString();
            path = chooser.selectedFiles().constFirst();
        }
        if (path.isEmpty())
            return QString();
        if (!choice.save || !QFileInfo::exists(path))
            return path;
        dialog_message(parent, choice.title,
                       Dialogs::tr("The destination already exists. Choose a new filename."), true);
        if (g_hooks && g_hooks->choose_file)
            return QString(); // a test's chooser would answer the same again
    }
}

void dialog_message(QWidget *parent, const QString &title, const QString &text, bool warning) {
    if (g_hooks && g_hooks->message) {
        g_hooks->message(title, text);
        return;
    }
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Information, title, text,
                    QMessageBox::Ok, parent);
    box.exec();
}

bool dialog_confirm(QWidget *parent, const QString &title, const QString &text, bool warning) {
    if (g_hooks && g_hooks->confirm)
        return g_hooks->confirm(title, text);
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Question, title, text,
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

} // namespace tw
