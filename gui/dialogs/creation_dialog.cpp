// New Container…, Image Removable Device… (with its device chooser) and
// Import from VeraCrypt…: the file choosers, the dialog, and the progress of
// the started activity until it ends.
#include "gui/dialogs/dialog_support.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/form_dialog.h"
#include "gui/main_window.h"
#include "gui/password/password_panel.h"
#include "gui/password/password_tools.h"
#include "runtime/creation_rules.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cerrno>

namespace tw {

namespace {

enum Command {
    kCmdChanged = kFormFirstCommand,
    kCmdFilesystem,
    kCmdCipher,
    kCmdLabel,
    kCmdRefresh,
};

constexpr int kJobDevices = 1;

struct Device {
    QString name;
    QString path;
    uint64_t size = 0;
    uint64_t identity = 0;
};

struct CreationState {
    GuiShell *shell = nullptr;
    CreationJob::Kind kind = CreationJob::Kind::Create;
    QString output;
    QString source; // Import: the VeraCrypt file
    Device device;  // Image
    const JsonValue *options = nullptr;
    QLineEdit *size = nullptr;
    QComboBox *filesystem = nullptr;
    QLineEdit *label = nullptr;
    QLabel *label_note = nullptr;
    bool label_edited = false;
    QComboBox *cipher = nullptr;
    QLabel *cipher_note = nullptr;
    QComboBox *compression = nullptr;
    QLineEdit *veracrypt_password = nullptr;
    QLineEdit *system_key = nullptr;
    PasswordPanel *panel = nullptr;
    // While the activity runs.
    int activity = 0;
    QLabel *status = nullptr;
    QProgressBar *bar = nullptr;
    QTimer *timer = nullptr;
};

QString size_text(uint64_t bytes) {
    return QLocale().formattedDataSize(static_cast<qint64>(bytes), 1,
                                       QLocale::DataSizeTraditionalFormat);
}

QString label_rule(const QString &filesystem) {
    if (filesystem == u"ntfs")
        return Dialogs::tr("Use up to 32 characters, without \\ / : * ? \" < > | or surrounding "
                           "spaces.");
    return Dialogs::tr("Use 1 to 11 uppercase letters, digits, spaces, or underscores. This is "
                       "the name shown in the file manager.");
}

QString passwords_note() {
    return Dialogs::tr("Passwords use exact UTF-8 bytes. Spaces are kept; passwords are never "
                       "shortened or normalized.");
}

void update_ok(FormDialog *dialog, CreationState *s) {
    if (s->activity > 0 || !s->panel) // running, or still being built
        return;
    bool ok = s->panel->is_valid();
    if (s->kind == CreationJob::Kind::Create)
        ok = ok && !s->size->text().isEmpty();
    if (s->kind == CreationJob::Kind::Import)
        ok = ok && !s->veracrypt_password->text().isEmpty();
    dialog->ok_button()->setEnabled(ok);
}

void update_cipher(CreationState *s) {
    if (s->cipher) {
        FormDialog::set_note(s->cipher_note, cipher_note(s->cipher->currentText()));
        s->panel->set_limit(cipher_password_limit(s->options, cipher_combo_value(s->cipher)));
    } else {
        s->panel->set_limit(cipher_password_limit(s->options, 9));
    }
}

void build_creation(FormDialog *dialog, void *state) {
    auto *s = static_cast<CreationState *>(state);
    QString options_error;
    s->options = dialog_creation_options(s->shell, &options_error);
    const bool create = s->kind == CreationJob::Kind::Create;
    dialog->add_title(create ? Dialogs::tr("New Container")
                             : Dialogs::tr("Image Removable Device"));
    dialog->add_text(s->output)->setObjectName(QStringLiteral("output"));
    if (create) {
        s->size = dialog->add_edit(Dialogs::tr("Size (MiB)"), kCmdChanged, true);
        s->size->setObjectName(QStringLiteral("size"));
        s->size->setText(QStringLiteral("1024"));
        s->filesystem = dialog->add_combo(Dialogs::tr("Filesystem"), kCmdFilesystem);
        s->filesystem->setObjectName(QStringLiteral("filesystem"));
        {
            const QSignalBlocker quiet(s->filesystem);
            s->filesystem->addItem(QStringLiteral("exFAT"), QStringLiteral("exfat"));
            s->filesystem->addItem(QStringLiteral("FAT32"), QStringLiteral("fat32"));
            s->filesystem->addItem(QStringLiteral("NTFS"), QStringLiteral("ntfs"));
        }
        dialog->add_note(Dialogs::tr("Creation needs temporary space for the filesystem image "
                                     "and the new container. Compressed size depends on the "
                                     "data."));
        s->label = dialog->add_edit(Dialogs::tr("Volume Name"));
        s->label->setObjectName(QStringLiteral("label"));
        s->label->setText(default_volume_name(s->output));
        QObject::connect(s->label, &QLineEdit::textEdited, dialog, [s] { s->label_edited = true; });
        s->label_note = dialog->add_note(label_rule(QStringLiteral("exfat")));
    } else {
        dialog->add_text(QStringLiteral("%1 · %2").arg(s->device.name, size_text(s->device.size)));
        dialog->add_note(Dialogs::tr("The selected device will be unmounted and read without "
                                     "writing to it. The encrypted image preserves its "
                                     "partitions and filesystem."));
    }
    s->cipher = dialog->add_combo(Dialogs::tr("Encryption Algorithm"));
    s->cipher->setObjectName(QStringLiteral("cipher"));
    cipher_combo_fill(s->cipher, s->options, QString(), cipher_default(s->options));
    s->cipher_note = dialog->add_note(QString());
    s->compression = dialog->add_combo(Dialogs::tr("Compression"));
    s->compression->setObjectName(QStringLiteral("compression"));
    compression_combo_fill(s->compression, false);
    dialog->add_note(compression_note());
    s->panel = new PasswordPanel;
    dialog->add_widget(s->panel);
    dialog->add_note(passwords_note());
    if (!options_error.isEmpty())
        dialog->add_note(options_error, NoteStyle::Warning);

    dialog->begin_advanced();
    s->system_key = dialog->add_password(Dialogs::tr("Custom System Key"));
    s->system_key->setObjectName(QStringLiteral("systemKey"));
    dialog->add_note(
        Dialogs::tr("Optional: 14 hexadecimal digits. Leave empty for this app’s default key."));
    dialog->add_note(Dialogs::tr("The entire container is initialized and verified before it is "
                                 "saved. Existing files are never replaced."));
    dialog->add_note(Dialogs::tr("Mounts default to read-only. Experimental write access for "
                                 "NTFS, exFAT, and FAT32 is available in Mount Preferences."));
    dialog->end_advanced();

    update_cipher(s);
    QObject::connect(s->panel, &PasswordPanel::changed, dialog,
                     [dialog] { dialog->command(kCmdChanged); });
    QObject::connect(s->cipher, &QComboBox::currentIndexChanged, dialog,
                     [dialog] { dialog->command(kCmdCipher); });
    update_ok(dialog, s);
}

void build_import(FormDialog *dialog, void *state) {
    auto *s = static_cast<CreationState *>(state);
    QString options_error;
    s->options = dialog_creation_options(s->shell, &options_error);
    dialog->add_title(Dialogs::tr("Import from VeraCrypt"));
    dialog->add_text(QFileInfo(s->source).fileName());
    dialog->add_note(Dialogs::tr("Select the original VeraCrypt file. The volume can stay "
                                 "mounted read-only. Use a new password for the Tarnwick copy."));
    s->veracrypt_password = dialog->add_password(Dialogs::tr("VeraCrypt Password"), kCmdChanged);
    s->veracrypt_password->setObjectName(QStringLiteral("veracryptPassword"));
    s->panel = new PasswordPanel;
    dialog->add_widget(s->panel);
    dialog->add_note(Dialogs::tr("This version imports standard VeraCrypt files that use AES, "
                                 "SHA-512 and the default PIM on a local ext4, XFS or Btrfs "
                                 "disk."));
    dialog->add_note(Dialogs::tr(
        "Tarnwick copies every sector into a new AES container and checks it before saving it. "
        "The copy includes free space, which can hold deleted files. Keep the VeraCrypt file "
        "until you have checked your files."));
    dialog->add_text(s->output)->setObjectName(QStringLiteral("output"));
    if (!options_error.isEmpty())
        dialog->add_note(options_error, NoteStyle::Warning);
    update_cipher(s);
    QObject::connect(s->panel, &PasswordPanel::changed, dialog,
                     [dialog] { dialog->command(kCmdChanged); });
    update_ok(dialog, s);
}

bool system_key_valid(const QString &key) {
    if (key.isEmpty())
        return true;
    if (key.size() != static_cast<qsizetype>(kClientSystemKeyLength))
        return false;
    for (QChar c : key)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}

// The rows of a new container in their order, with the engine's rules and
// texts; the first invalid one shows its message.
bool validate_creation(FormDialog *dialog, CreationState *s) {
    dialog->clear_row_errors();
    if (s->kind != CreationJob::Kind::Create) {
        if (s->system_key && !system_key_valid(s->system_key->text())) {
            dialog->set_row_error(s->system_key, Dialogs::tr(kTrCredentialLimit));
            return false;
        }
        return s->panel->is_valid();
    }
    const std::string filesystem = s->filesystem->currentData().toString().toStdString();
    bool number = false;
    const qulonglong mib = s->size->text().toULongLong(&number);
    const char *message = nullptr;
    int rc = -EINVAL;
    if (!number && !s->size->text().isEmpty())
        rc = -EFBIG; // all digits, too many of them
    else if (number && mib > (kCreationSizeLimit >> 20))
        rc = -EFBIG;
    else if (number)
        rc = creation_size_check(static_cast<uint64_t>(mib) << 20, filesystem, &message);
    if (rc != 0) {
        dialog->set_row_error(s->size, rc == -EFBIG ? Dialogs::tr(kTrCreationFileSize)
                                       : message    ? Dialogs::tr(kTrCreationFat32Range)
                                                    : Dialogs::tr(kTrCreationInvalid));
        return false;
    }
    if (!s->panel->is_valid())
        return false;
    if (!creation_label_valid(filesystem, s->label->text().toStdString())) {
        dialog->set_row_error(s->label, Dialogs::tr(kTrCreationInvalid));
        return false;
    }
    if (!system_key_valid(s->system_key->text())) {
        dialog->set_row_error(s->system_key, Dialogs::tr(kTrCredentialLimit));
        return false;
    }
    return true;
}

void follow_activity(FormDialog *dialog, CreationState *s) {
    ActivityState state;
    if (!dialog_activity_state(s->shell, s->activity, &state)) {
        s->timer->stop();
        dialog->accept();
        return;
    }
    if (!state.text.isEmpty() && !state.cancel_requested)
        s->status->setText(state.text);
    if (state.fraction >= 0) {
        s->bar->setRange(0, 1000);
        s->bar->setValue(static_cast<int>(state.fraction * 1000));
    }
    dialog->cancel_button()->setEnabled(state.cancellable && !state.cancel_requested);
}

void show_progress(FormDialog *dialog, CreationState *s) {
    auto *view = new QWidget;
    auto *layout = new QVBoxLayout(view);
    s->status =
        new QLabel(s->kind == CreationJob::Kind::Import ? Dialogs::tr("Unlocking VeraCrypt Volume")
                                                        : Dialogs::tr("Preparing Filesystem"),
                   view);
    s->status->setObjectName(QStringLiteral("status"));
    s->bar = new QProgressBar(view);
    s->bar->setRange(0, 0); // moving until the first fraction
    s->bar->setTextVisible(false);
    auto *note = new QLabel(view);
    note->setWordWrap(true);
    note->setObjectName(QStringLiteral("progressNote"));
    switch (s->kind) {
    case CreationJob::Kind::Create:
        note->setText(Dialogs::tr("Cancellation waits for Linux to finish preparing the empty "
                                  "filesystem. No existing file will be replaced."));
        break;
    case CreationJob::Kind::Image:
        note->setText(Dialogs::tr("Cancellation stops the image copy. The source device is "
                                  "never written."));
        break;
    case CreationJob::Kind::Import:
        note->setText(Dialogs::tr("Cancel removes the unfinished copy. The VeraCrypt file is "
                                  "never changed."));
        break;
    }
    layout->addWidget(s->status);
    layout->addWidget(s->bar);
    layout->addWidget(note);
    layout->addStretch(1);
    dialog->show_instead_of_form(view);
    dialog->ok_button()->hide();
    s->timer = new QTimer(dialog);
    QObject::connect(s->timer, &QTimer::timeout, dialog,
                     [dialog, s] { follow_activity(dialog, s); });
    s->timer->start(200);
}

bool start(FormDialog *dialog, CreationState *s) {
    auto job = std::make_unique<CreationJob>();
    job->kind = s->kind;
    job->output = s->output.toStdString();
    if (s->panel->take(&job->new_password, &job->confirmation) != 0)
        return false;
    if (s->kind == CreationJob::Kind::Import) {
        job->source = s->source.toStdString();
        job->algorithm = 9;
        if (!secret_from_text(s->veracrypt_password->text(), &job->password))
            return false;
    } else {
        job->algorithm = cipher_combo_value(s->cipher);
        job->compression = compression_combo_value(s->compression);
        if (!secret_from_text(s->system_key->text(), &job->system_key))
            return false;
        if (s->kind == CreationJob::Kind::Create) {
            job->size_mib = s->size->text().toULongLong();
            job->filesystem = s->filesystem->currentData().toString().toStdString();
            job->label = s->label->text().toStdString();
        } else {
            job->device = s->device.path.toStdString();
            job->device_identity = s->device.identity;
            job->size_mib = 0;
            job->filesystem = "exfat";
            job->label = "IMAGE";
        }
    }
    const int activity = dialog_start_creation(s->shell, std::move(job));
    if (activity <= 0) {
        // Refused: the shell has told the user why.
        dialog->reject();
        return true;
    }
    s->activity = activity;
    show_progress(dialog, s);
    return true;
}

bool command_creation(FormDialog *dialog, void *state, int command) {
    auto *s = static_cast<CreationState *>(state);
    switch (command) {
    case kFormOk:
        if (s->activity > 0 || !dialog->ok_button()->isEnabled())
            return true;
        if (s->kind != CreationJob::Kind::Import ? !validate_creation(dialog, s)
                                                 : !s->panel->is_valid())
            return true;
        start(dialog, s);
        return true;
    case kFormCancel:
        if (s->activity <= 0)
            return false;
        dialog_cancel_activity(s->shell, s->activity);
        s->status->setText(s->kind == CreationJob::Kind::Import
                               ? Dialogs::tr("Cancelling")
                               : Dialogs::tr("Cancelling Creation"));
        dialog->cancel_button()->setEnabled(false);
        return true;
    case kCmdFilesystem: {
        const QString filesystem = s->filesystem->currentData().toString();
        FormDialog::set_note(s->label_note, label_rule(filesystem));
        update_ok(dialog, s);
        return true;
    }
    case kCmdCipher:
        update_cipher(s);
        update_ok(dialog, s);
        return true;
    default:
        update_ok(dialog, s);
        return true;
    }
}

const FormCallbacks kCreationCallbacks = {build_creation, command_creation, nullptr, nullptr};
const FormCallbacks kImportCallbacks = {build_import, command_creation, nullptr, nullptr};

void run_creation_dialog(QWidget *parent, CreationState *state) {
    const bool create = state->kind == CreationJob::Kind::Create;
    if (state->kind == CreationJob::Kind::Import) {
        FormDialog dialog(parent, Dialogs::tr("Import from VeraCrypt"), Dialogs::tr("Import"),
                          &kImportCallbacks, state);
        dialog.exec();
        return;
    }
    FormDialog dialog(parent,
                      create ? Dialogs::tr("New Container") : Dialogs::tr("Image Removable Device"),
                      create ? Dialogs::tr("Create Container") : Dialogs::tr("Image Device"),
                      &kCreationCallbacks, state);
    dialog.exec();
}

QString choose_new_container(QWidget *parent) {
    FileChoice choice;
    choice.title = Dialogs::tr("New Container");
    choice.default_name = Dialogs::tr("%1.zcx").arg(Dialogs::tr("Untitled"));
    choice.note = Dialogs::tr("Choose a new file in a private local folder. Existing files will "
                              "never be replaced.");
    choice.filter = Dialogs::tr("ZCX containers (*.zcx)");
    return dialog_choose_file(parent, choice);
}

// ---- The device chooser ----

struct ChooserState {
    QComboBox *devices = nullptr;
    QLabel *none = nullptr;
    QPushButton *refresh = nullptr;
    QList<Device> list;
    Device chosen;
};

void list_devices(FormDialog *dialog, ChooserState *s) {
    s->refresh->setEnabled(false);
    dialog->ok_button()->setEnabled(false);
    dialog->start_job(kJobDevices, [](ClientOutcome *out) {
        EngineRunContext ctx;
        return engine_devices(&ctx, out);
    });
}

void build_chooser(FormDialog *dialog, void *state) {
    auto *s = static_cast<ChooserState *>(state);
    dialog->add_title(Dialogs::tr("Image Removable Device"));
    dialog->add_text(Dialogs::tr("Choose a removable device to capture into a new encrypted "
                                 "container. Its volumes will be unmounted; the device is "
                                 "read-only during capture."));
    s->devices = dialog->add_combo(Dialogs::tr("Source Device"));
    s->devices->setObjectName(QStringLiteral("devices"));
    s->none = dialog->add_note(QString(), NoteStyle::Warning);
    s->none->setObjectName(QStringLiteral("devicesNote"));
    s->refresh = dialog->add_button(Dialogs::tr("Refresh"), kCmdRefresh);
    list_devices(dialog, s);
}

bool command_chooser(FormDialog *dialog, void *state, int command) {
    auto *s = static_cast<ChooserState *>(state);
    if (command == kCmdRefresh) {
        list_devices(dialog, s);
        return true;
    }
    if (command == kFormOk) {
        const int index = s->devices->currentIndex();
        if (index < 0 || index >= s->list.size())
            return true;
        s->chosen = s->list.at(index);
        return false;
    }
    return false;
}

void result_chooser(FormDialog *dialog, void *state, int, ClientOutcome *outcome) {
    auto *s = static_cast<ChooserState *>(state);
    s->refresh->setEnabled(true);
    s->devices->clear();
    s->list.clear();
    if (!outcome->succeeded()) {
        FormDialog::set_note(s->none, QString::fromStdString(outcome->message));
        dialog->ok_button()->setEnabled(false);
        return;
    }
    const JsonValue *devices = json_get(outcome->result, "devices");
    if (devices && devices->kind == JsonKind::Array) {
        for (const JsonValue *d = json_first(devices); d; d = json_next(d)) {
            Device device;
            device.name = QString::fromUtf8(json_get_string(d, "name", ""));
            device.path = QString::fromUtf8(json_get_string(d, "path", ""));
            device.size = static_cast<uint64_t>(json_get_int(d, "size", 0));
            device.identity = static_cast<uint64_t>(json_get_int(d, "identity", 0));
            s->list.append(device);
            s->devices->addItem(QStringLiteral("%1 · %2 · %3")
                                    .arg(device.name, size_text(device.size), device.path));
        }
    }
    FormDialog::set_note(s->none, s->list.isEmpty()
                                      ? Dialogs::tr("No eligible removable devices found.")
                                      : QString());
    dialog->ok_button()->setEnabled(!s->list.isEmpty());
}

const FormCallbacks kChooserCallbacks = {build_chooser, command_chooser, result_chooser, nullptr};

} // namespace

QString default_volume_name(const QString &output_path) {
    const QString base = QFileInfo(output_path).completeBaseName();
    QString name;
    for (QChar c : base) {
        const char16_t u = c.unicode();
        char16_t upper = u >= u'a' && u <= u'z' ? static_cast<char16_t>(u - 32) : u;
        if ((upper >= u'A' && upper <= u'Z') || (upper >= u'0' && upper <= u'9') || upper == u'_')
            name.append(QChar(upper));
        if (name.size() == 11)
            break;
    }
    return name.isEmpty() ? QStringLiteral("OPENZCX") : name;
}

void dialog_new_container(QWidget *parent, GuiShell *shell) {
    const QString output = choose_new_container(parent);
    if (output.isEmpty())
        return;
    CreationState state;
    state.shell = shell;
    state.kind = CreationJob::Kind::Create;
    state.output = output;
    run_creation_dialog(parent, &state);
}

void dialog_image_device(QWidget *parent, GuiShell *shell) {
    ChooserState chooser;
    {
        FormDialog dialog(parent, Dialogs::tr("Image Removable Device"), Dialogs::tr("Continue"),
                          &kChooserCallbacks, &chooser);
        if (dialog.exec() != QDialog::Accepted)
            return;
    }
    const QString output = choose_new_container(parent);
    if (output.isEmpty())
        return;
    CreationState state;
    state.shell = shell;
    state.kind = CreationJob::Kind::Image;
    state.output = output;
    state.device = chooser.chosen;
    run_creation_dialog(parent, &state);
}

void dialog_import_veracrypt(QWidget *parent, GuiShell *shell) {
    FileChoice open;
    open.save = false;
    open.title = Dialogs::tr("Choose VeraCrypt File");
    open.filter = Dialogs::tr("VeraCrypt volumes (*.hc)");
    const QString source = dialog_choose_file(parent, open);
    if (source.isEmpty())
        return;
    const QFileInfo info(source);
    FileChoice save;
    save.title = Dialogs::tr("Import from VeraCrypt");
    save.folder = info.absolutePath();
    save.default_name = Dialogs::tr("%1.zcx").arg(info.completeBaseName());
    save.note = Dialogs::tr("Choose a new file in a private folder on a local ext4, XFS or "
                            "Btrfs disk. Tarnwick leaves the VeraCrypt file intact.");
    save.filter = Dialogs::tr("ZCX containers (*.zcx)");
    const QString output = dialog_choose_file(parent, save);
    if (output.isEmpty())
        return;
    CreationState state;
    state.shell = shell;
    state.kind = CreationJob::Kind::Import;
    state.source = source;
    state.output = output;
    run_creation_dialog(parent, &state);
}

int creation_run(const CreationJob &job, const GuiBackend &backend, EngineRunContext *ctx,
                 ClientOutcome *out) {
    switch (job.kind) {
    case CreationJob::Kind::Create: {
        CreateOperation op;
        op.output = job.output;
        op.size_mib = job.size_mib;
        op.filesystem = job.filesystem;
        op.label = job.label;
        op.algorithm = job.algorithm;
        op.compression = job.compression;
        op.new_password = job.new_password.span();
        op.confirmation = job.confirmation.span();
        op.system_key = job.system_key.span();
        return backend.create(ctx, op, out);
    }
    case CreationJob::Kind::Image: {
        ImageOperation op;
        op.device = job.device;
        op.identity = job.device_identity;
        op.output = job.output;
        op.algorithm = job.algorithm;
        op.compression = job.compression;
        op.new_password = job.new_password.span();
        op.confirmation = job.confirmation.span();
        op.system_key = job.system_key.span();
        return backend.image(ctx, op, out);
    }
    case CreationJob::Kind::Import: {
        FileOperation op;
        op.command = "import-veracrypt";
        op.input = job.source;
        op.output = job.output;
        op.password = job.password.span();
        op.new_password = job.new_password.span();
        op.confirmation = job.confirmation.span();
        return backend.file_operation(ctx, op, out);
    }
    }
    return -EINVAL;
}

} // namespace tw
