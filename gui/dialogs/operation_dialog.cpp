// The container operation dialog: mount, check credentials, export, change
// password, convert, re-encrypt at the same path, check and repair.
#include "gui/dialogs/dialog_support.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/form_dialog.h"
#include "gui/password/password_panel.h"
#include "gui/password/password_tools.h"
#include "runtime/mount_preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>

namespace tw {

namespace {

enum Command {
    kCmdPassword = kFormFirstCommand,
    kCmdReadOnly,
    kCmdCheck,
    kCmdNewCipher,
    kCmdPartition,
    kCmdPanel,
};

constexpr int kJobCheck = 1;

struct KindText {
    const char *title;
    const char *ok;
};

// Titles and OK buttons by operation kind (0 to 6).
constexpr KindText kKindTexts[] = {
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Mount Container"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Mount")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Check Credentials"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Check")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Export Decrypted Image"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Export")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Change Password"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Create New Password Copy")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Convert Copy"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Create Encrypted Copy")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Re-encrypt at Same Path"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Replace and Keep Backup")},
    {QT_TRANSLATE_NOOP("tw::Dialogs", "Check and Repair Filesystem"),
     QT_TRANSLATE_NOOP("tw::Dialogs", "Check and Repair")},
};

bool has_new_password(OperationKind kind) {
    return kind == OperationKind::ChangePassword || kind == OperationKind::Convert ||
           kind == OperationKind::Replace;
}

bool has_output(OperationKind kind) {
    return kind == OperationKind::Export || kind == OperationKind::ChangePassword ||
           kind == OperationKind::Convert;
}

bool has_new_cipher(OperationKind kind) {
    return kind == OperationKind::Convert || kind == OperationKind::Replace;
}

struct OperationState {
    OperationKind kind;
    GuiShell *shell;
    const JsonValue *entry;
    OperationInput *input;
    const JsonValue *options = nullptr;
    QString output;
    QLineEdit *password = nullptr;
    QLineEdit *system_key = nullptr;
    QLineEdit *partition = nullptr;
    QCheckBox *remember = nullptr;
    QCheckBox *read_only = nullptr;
    QComboBox *unlock_cipher = nullptr;
    QComboBox *new_cipher = nullptr;
    QLabel *new_cipher_note = nullptr;
    QComboBox *compression = nullptr;
    PasswordPanel *panel = nullptr;
    QPushButton *check = nullptr;
    QLabel *check_error = nullptr;
    int learned_limit = 0;
    bool checking = false;
};

// The new password's limit: the chosen new cipher's, or, when the current
// setting is kept, the one learned by checking the current password.
int new_password_limit(const OperationState *s) {
    if (s->new_cipher) {
        const uint32_t algorithm = cipher_combo_value(s->new_cipher);
        if (algorithm != 255)
            return cipher_password_limit(s->options, algorithm);
    }
    return s->learned_limit;
}

void update_ok(FormDialog *dialog, OperationState *s) {
    bool ok = !s->checking;
    if (s->partition) {
        const QString text = s->partition->text();
        ok = ok && (text.isEmpty() || text.toLongLong() > 0);
    }
    if (s->panel)
        ok = ok && s->panel->is_valid();
    dialog->ok_button()->setEnabled(ok);
}

void update_new_cipher(OperationState *s) {
    if (s->new_cipher_note)
        FormDialog::set_note(s->new_cipher_note,
                             s->new_cipher && cipher_combo_value(s->new_cipher) != 255
                                 ? cipher_note(s->new_cipher->currentText())
                                 : QString());
    if (s->panel)
        s->panel->set_limit(new_password_limit(s));
}

void build(FormDialog *dialog, void *state) {
    auto *s = static_cast<OperationState *>(state);
    const OperationKind kind = s->kind;
    const bool new_password = has_new_password(kind);
    QString options_error;
    s->options = dialog_creation_options(s->shell, &options_error);

    dialog->add_title(Dialogs::tr(kKindTexts[static_cast<int>(kind)].title));
    dialog->add_text(QString::fromStdString(entry_file_name(s->entry)));

    s->password = dialog->add_password(
        new_password ? Dialogs::tr("Current Password") : Dialogs::tr("Password"), kCmdPassword);
    s->password->setObjectName(QStringLiteral("password"));
    if (!new_password)
        dialog->add_note(Dialogs::tr("Leave empty for an unencrypted image."));

    if (kind == OperationKind::Mount) {
        s->remember = dialog->add_check(Dialogs::tr("Remember in the keyring on this PC"));
        s->remember->setObjectName(QStringLiteral("remember"));
        dialog->add_note(Dialogs::tr(
            "Required for mounting after sign-in. Saved only after a successful mount."));
        s->read_only = dialog->add_check(Dialogs::tr("Mount read-only"));
        s->read_only->setObjectName(QStringLiteral("readOnly"));
        const bool write_supported = entry_info_flag(s->entry, "writeSupported");
        s->read_only->setChecked(!write_supported ||
                                 mount_preferences_read_only(json_get(s->entry, "preferences")));
        if (write_supported) {
            dialog->add_note(
                Dialogs::tr("Applies to this mount only. Saved preferences stay unchanged."));
        } else {
            s->read_only->setEnabled(false);
            dialog->add_note(entry_info_flag(s->entry, "verified")
                                 ? Dialogs::tr("Write access is unavailable for this container.")
                                 : Dialogs::tr("Check credentials to see whether write access "
                                               "is supported."));
        }
        // Connected only now, so that setting its first state asks nothing.
        QObject::connect(s->read_only, &QCheckBox::toggled, dialog,
                         [dialog] { dialog->command(kCmdReadOnly); });
    }

    if (kind == OperationKind::CheckAndRepair) {
        dialog->add_note(Dialogs::tr(
            "Linux checks the container's filesystem with fsck and writes its fixes into the "
            "container. Damaged files can be lost, or saved as recovered files. Keep a copy of "
            "the container first."));
        dialog->add_note(Dialogs::tr(
            "After a clean result, the marker an unfinished write session left beside the "
            "container is removed, so the container can be mounted for writing again."));
    }

    if (new_password) {
        s->check = dialog->add_button(Dialogs::tr("Check Current Password"), kCmdCheck);
        s->check->setObjectName(QStringLiteral("checkCurrent"));
        if (has_new_cipher(kind)) {
            s->new_cipher = dialog->add_combo(Dialogs::tr("New Encryption Algorithm"));
            s->new_cipher->setObjectName(QStringLiteral("newCipher"));
            cipher_combo_fill(s->new_cipher, s->options,
                              kind == OperationKind::Replace ? Dialogs::tr("Keep Current Setting")
                                                             : QString(),
                              cipher_default(s->options));
            s->new_cipher_note = dialog->add_note(QString());
        }
        s->panel = new PasswordPanel;
        dialog->add_widget(s->panel);
        s->check_error = dialog->add_note(QString(), NoteStyle::Warning);
        s->check_error->setObjectName(QStringLiteral("checkError"));
        s->check_error->hide();
        s->compression = dialog->add_combo(Dialogs::tr("Compression"));
        s->compression->setObjectName(QStringLiteral("compression"));
        compression_combo_fill(s->compression, kind != OperationKind::Convert);
        dialog->add_note(compression_note());
        update_new_cipher(s);
        QObject::connect(s->panel, &PasswordPanel::changed, dialog,
                         [dialog] { dialog->command(kCmdPanel); });
        if (s->new_cipher)
            QObject::connect(s->new_cipher, &QComboBox::currentIndexChanged, dialog,
                             [dialog] { dialog->command(kCmdNewCipher); });
    }
    if (!options_error.isEmpty())
        dialog->add_note(options_error, NoteStyle::Warning);

    dialog->begin_advanced();
    s->unlock_cipher = dialog->add_combo(Dialogs::tr("Encryption Algorithm"));
    s->unlock_cipher->setObjectName(QStringLiteral("unlockCipher"));
    cipher_combo_fill(s->unlock_cipher, s->options, Dialogs::tr("Automatic"), 255);
    s->system_key = dialog->add_password(Dialogs::tr("Custom System Key"));
    s->system_key->setObjectName(QStringLiteral("systemKey"));
    dialog->add_note(
        Dialogs::tr("Optional: 14 hexadecimal digits. Leave empty for this app’s default key."));
    if (kind == OperationKind::Mount) {
        s->partition =
            dialog->add_edit(Dialogs::tr("Partition number (optional)"), kCmdPartition, true);
        s->partition->setObjectName(QStringLiteral("partition"));
        dialog->add_note(Dialogs::tr("Count data volumes from 1 in partition order. EFI and "
                                     "recovery volumes are excluded."));
    }
    if (kind == OperationKind::Replace)
        dialog->add_note(Dialogs::tr(
            "A verified replacement takes this path. The original is kept beside it as a "
            "backup. Keep both files and any recovery journal together after an interruption."));
    dialog->end_advanced();

    if (has_output(kind)) {
        if (kind == OperationKind::Export) {
            dialog->add_note(Dialogs::tr("This creates an unencrypted copy."), NoteStyle::Warning);
        } else {
            dialog->add_note(Dialogs::tr("The original stays unchanged, including after success."));
            dialog->add_note(Dialogs::tr(
                "The new encrypted copy is fully re-encoded and checked before it is saved. If "
                "interrupted, restart from the original."));
        }
        dialog->add_text(s->output)->setObjectName(QStringLiteral("output"));
    }
    update_ok(dialog, s);
}

bool system_key_valid(const QString &key) {
    if (key.isEmpty())
        return true;
    if (key.size() != static_cast<qsizetype>(kClientSystemKeyLength))
        return false;
    return std::all_of(key.begin(), key.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
}

// Checks the rows in their order; the first invalid one shows its message.
bool validate(FormDialog *dialog, OperationState *s) {
    dialog->clear_row_errors();
    const QString password = s->password->text();
    if (utf8_length(password) > kPasswordBytesMax || password.contains(QChar(0))) {
        dialog->set_row_error(s->password, Dialogs::tr(kTrCredentialLimit));
        return false;
    }
    if (!system_key_valid(s->system_key->text())) {
        dialog->set_row_error(s->system_key, Dialogs::tr(kTrCredentialLimit));
        return false;
    }
    if (s->partition) {
        const QString text = s->partition->text();
        if (!text.isEmpty() && text.toLongLong() < 1)
            return false;
    }
    if (s->panel && !s->panel->is_valid())
        return false;
    return true;
}

bool fill_input(OperationState *s) {
    OperationInput *in = s->input;
    if (!secret_from_text(s->password->text(), &in->password) ||
        !secret_from_text(s->system_key->text(), &in->system_key))
        return false;
    if (s->panel && s->panel->take(&in->new_password, &in->confirmation) != 0)
        return false;
    in->unlock_cipher = cipher_combo_value(s->unlock_cipher);
    in->new_cipher = s->new_cipher ? cipher_combo_value(s->new_cipher) : 255;
    in->compression =
        s->compression ? compression_combo_value(s->compression) : CompressionChoice{};
    in->output = s->output.toStdString();
    in->partition = s->partition ? s->partition->text().toInt() : 0;
    in->read_only = s->read_only ? s->read_only->isChecked() : true;
    in->remember = s->remember ? s->remember->isChecked() : false;
    return true;
}

void start_check(FormDialog *dialog, OperationState *s) {
    auto password = std::make_shared<SecureBuffer>();
    auto system_key = std::make_shared<SecureBuffer>();
    if (!secret_from_text(s->password->text(), password.get()) ||
        !secret_from_text(s->system_key->text(), system_key.get()))
        return;
    s->checking = true;
    s->check->setText(Dialogs::tr("Checking…"));
    s->check->setEnabled(false);
    dialog->cancel_button()->setEnabled(false);
    s->check_error->hide();
    update_ok(dialog, s);
    const std::string path = entry_path(s->entry);
    const uint32_t cipher = cipher_combo_value(s->unlock_cipher);
    dialog->start_job(kJobCheck, [path, password, system_key, cipher](ClientOutcome *out) {
        EngineRunContext ctx;
        FileOperation op;
        op.command = "verify";
        op.input = path;
        op.password = password->span();
        op.system_key = system_key->span();
        op.unlock_cipher = cipher;
        const int rc = engine_file_operation(&ctx, op, out);
        password->clear();
        system_key->clear();
        return rc;
    });
}

bool command(FormDialog *dialog, void *state, int command) {
    auto *s = static_cast<OperationState *>(state);
    switch (command) {
    case kFormOk:
        if (!dialog->ok_button()->isEnabled() || !validate(dialog, s))
            return true;
        if (s->kind == OperationKind::CheckAndRepair &&
            !dialog_confirm(dialog, Dialogs::tr("Check and Repair Filesystem?"),
                            Dialogs::tr("fsck will change the container. Continue only if you "
                                        "have a copy, or if the files can be lost.")))
            return true;
        if (!fill_input(s))
            return true;
        return false; // accepted
    case kFormCancel:
        return s->checking; // not while the check runs
    case kCmdReadOnly:
        if (!s->read_only->isChecked() &&
            !dialog_confirm(dialog, Dialogs::tr("Enable Experimental Writes?"),
                            Dialogs::tr("Normal writes and injected errors have been tested. "
                                        "Crash recovery is not qualified: a crash can damage "
                                        "the filesystem. Keep a separate backup. Login mounts "
                                        "stay read-only."))) {
            const QSignalBlocker quiet(s->read_only);
            s->read_only->setChecked(true);
        }
        return true;
    case kCmdCheck:
        if (!s->checking)
            start_check(dialog, s);
        return true;
    case kCmdNewCipher:
        update_new_cipher(s);
        update_ok(dialog, s);
        return true;
    default:
        update_ok(dialog, s);
        return true;
    }
}

void result(FormDialog *dialog, void *state, int job, ClientOutcome *outcome) {
    auto *s = static_cast<OperationState *>(state);
    if (job != kJobCheck)
        return;
    s->checking = false;
    s->check->setText(Dialogs::tr("Check Current Password"));
    s->check->setEnabled(true);
    dialog->cancel_button()->setEnabled(true);
    if (outcome->succeeded()) {
        s->learned_limit = static_cast<int>(json_get_int(outcome->result, "newPasswordLimit", 0));
        FormDialog::set_note(s->check_error, QString());
        update_new_cipher(s);
    } else {
        FormDialog::set_note(s->check_error, QString::fromStdString(outcome->message));
    }
    update_ok(dialog, s);
}

void wipe(FormDialog *, void *) {
    // The password edits and the panel are wiped by the frame; the
    // collected input belongs to the caller.
}

const FormCallbacks kCallbacks = {build, command, result, wipe};

// The output file of export, change password and convert.
QString choose_output(QWidget *parent, OperationKind kind, const JsonValue *entry) {
    const QFileInfo container(QString::fromUtf8(entry_path(entry)));
    FileChoice choice;
    choice.save = true;
    choice.title = Dialogs::tr(kKindTexts[static_cast<int>(kind)].title);
    if (kind == OperationKind::Export) {
        choice.default_name = container.completeBaseName() + QStringLiteral("-decrypted.img");
        choice.folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        choice.note =
            Dialogs::tr("Choose a new filename. The image will contain unencrypted data.");
        choice.filter = Dialogs::tr("Disk images (*.img)");
    } else {
        choice.default_name =
            container.completeBaseName() + (kind == OperationKind::ChangePassword
                                                ? QStringLiteral("-new-password.zcx")
                                                : QStringLiteral("-converted.zcx"));
        choice.folder = container.absolutePath();
        choice.note = Dialogs::tr("Choose a new filename in a private local folder. The original "
                                  "will be kept. Allow enough free space for a second full "
                                  "container.");
        choice.filter = Dialogs::tr("ZCX containers (*.zcx)");
    }
    return dialog_choose_file(parent, choice);
}

} // namespace

int dialog_run_operation(QWidget *parent, GuiShell *shell, OperationKind kind,
                         const JsonValue *entry, OperationInput *input) {
    const int index = static_cast<int>(kind);
    if (index < 0 || index > 6 || entry == nullptr)
        return 0;
    OperationState state{kind, shell, entry, input};
    if (has_output(kind)) {
        state.output = choose_output(parent, kind, entry);
        if (state.output.isEmpty())
            return 0;
    }
    FormDialog dialog(parent, Dialogs::tr(kKindTexts[index].title),
                      Dialogs::tr(kKindTexts[index].ok), &kCallbacks, &state);
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}

int operation_run(OperationKind kind, const JsonValue *entry, const OperationInput &input,
                  EngineRunContext *ctx, ClientOutcome *out) {
    const std::string path = entry_path(entry);
    switch (kind) {
    case OperationKind::Mount: {
        JsonValue *preferences = json_clone(json_get(entry, "preferences"));
        if (!input.read_only) {
            if (!preferences)
                preferences = json_new(JsonKind::Object);
            json_set_bool(preferences, "readOnly", false);
            json_remove(preferences, "mountOnLogin");
        }
        MountRequest request;
        request.path = path;
        request.password = input.password.span();
        request.partition = input.partition;
        request.preferences = preferences;
        request.entry_id = json_get_string(entry, "id", "");
        request.remember = input.remember;
        request.system_key = input.system_key.span();
        request.unlock_cipher = input.unlock_cipher;
        const int rc = service_mount(request, out);
        json_free(preferences);
        return rc;
    }
    case OperationKind::CheckAndRepair:
        return service_repair_unlocking(path, input.password.span(), input.system_key.span(),
                                        input.unlock_cipher, out);
    default:
        break;
    }
    static const char *const kCommands[] = {nullptr,   "verify",  "export", "rekey",
                                            "convert", "replace", nullptr};
    FileOperation op;
    op.command = kCommands[static_cast<int>(kind)];
    op.input = path;
    op.output = input.output;
    op.algorithm = input.new_cipher;
    op.compression = input.compression;
    op.password = input.password.span();
    op.system_key = input.system_key.span();
    op.unlock_cipher = input.unlock_cipher;
    if (has_new_password(kind)) {
        op.new_password = input.new_password.span();
        op.confirmation = input.confirmation.span();
    }
    return engine_file_operation(ctx, op, out);
}

QString repair_result_text(const JsonValue *report, bool *warning) {
    const bool clean = json_get_bool(report, "repairClean", false);
    const char *marker_error = json_get_string(report, "markerError", nullptr);
    const char *repair_error = json_get_string(report, "repairError", nullptr);
    const char *error = marker_error && *marker_error ? marker_error : repair_error;
    const bool has_error = error && *error;
    QString verdict;
    if (clean && !has_error)
        verdict = Dialogs::tr("fsck found no problems left on this volume. Write access is "
                              "available again.");
    else if (clean)
        verdict = Dialogs::tr("fsck found no problems left on this volume.");
    else
        verdict = Dialogs::tr("fsck could not fix every problem. Copy your files off with a "
                              "read-only mount, then create a new container.");
    const char *filesystem = json_get_string(report, "filesystem", "");
    QString text =
        verdict + u'\n' + (*filesystem ? QString::fromUtf8(filesystem) : QStringLiteral("?")) +
        QStringLiteral(", fsck ") + QString::number(json_get_int(report, "repairStatus", -1)) +
        QStringLiteral("\n\n");
    if (has_error)
        text += QString::fromUtf8(error) + QStringLiteral("\n\n");
    QString output = QString::fromUtf8(json_get_string(report, "repairOutput", ""));
    QStringList lines = output.split(u'\n');
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    if (lines.size() > 13)
        lines = lines.mid(lines.size() - 13);
    QString tail = lines.join(u'\n');
    while (tail.startsWith(u'\n'))
        tail.remove(0, 1);
    text += tail;
    *warning = !(clean && !has_error);
    return text;
}

void dialog_show_repair_result(QWidget *parent, const JsonValue *report) {
    bool warning = false;
    const QString text = repair_result_text(report, &warning);
    dialog_message(parent, Dialogs::tr("Check and Repair Filesystem"), text, warning);
}

} // namespace tw
