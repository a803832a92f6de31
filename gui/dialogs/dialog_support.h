// What the dialogs share: their catalogue context, the creation options and
// the cipher and compression choices, library entry fields, file choosers,
// message boxes and questions (each replaceable by tests).
#pragma once

#include "client/client.h"
#include "client/messages.h"
#include "gui/library.h"
#include "gui/shell.h"
#include "runtime/creation_rules.h"
#include "runtime/json.h"

#include <QCoreApplication>
#include <QString>
#include <memory>
#include <string>
#include <string_view>

class QComboBox;
class QWidget;

namespace tw {

// The catalogue context of every text of the dialogs.
struct Dialogs {
    Q_DECLARE_TR_FUNCTIONS(tw::Dialogs)
};

// Texts the dialogs share with the client library and the engine. The
// catalogue needs them as literals here; the assertions keep them equal to
// the shared ones.
inline constexpr char kTrCredentialLimit[] = QT_TRANSLATE_NOOP(
    "tw::Dialogs",
    "Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.");
inline constexpr char kTrCreationInvalid[] = QT_TRANSLATE_NOOP(
    "tw::Dialogs",
    "Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.");
inline constexpr char kTrCreationFat32Range[] =
    QT_TRANSLATE_NOOP("tw::Dialogs", "Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size "
                                     "in that range or another filesystem.");
inline constexpr char kTrCreationFileSize[] =
    QT_TRANSLATE_NOOP("tw::Dialogs", "The requested size exceeds the file size supported by "
                                     "the destination filesystem or Linux.");
static_assert(std::string_view(kTrCredentialLimit) == kCredentialLimitMessage);
static_assert(std::string_view(kTrCreationInvalid) == kTextCreationInvalid);
static_assert(std::string_view(kTrCreationFat32Range) == kTextCreationFat32Range);
static_assert(std::string_view(kTrCreationFileSize) == kTextCreationFileSize);

// ---- Creation options and choices ----

// The engine's "creation-options" (the shell's cached copy); null with
// *error when the engine could not say.
const JsonValue *dialog_creation_options(GuiShell *shell, QString *error);

// Fills a cipher combo box with the offered ciphers (name, number as item
// data), preceded by `first_text` with number 255 when not empty, and
// selects `select`.
void cipher_combo_fill(QComboBox *combo, const JsonValue *options, const QString &first_text,
                       uint32_t select);
// The cipher number of the current choice (255 when none).
uint32_t cipher_combo_value(const QComboBox *combo);
// The note under a cipher choice, by the cipher's name.
QString cipher_note(const QString &name);
// The "passwordLimit" of a cipher in the creation options; 0 when unknown.
int cipher_password_limit(const JsonValue *options, uint32_t algorithm);
// The default cipher of the creation options ("algorithm"), else 9.
uint32_t cipher_default(const JsonValue *options);

// Fills a compression combo: "Keep Current Setting" (when keep), "Off",
// "Fast (LZ4)".
void compression_combo_fill(QComboBox *combo, bool keep);
// The choice as the engine takes it: not given (keep), "off", or "fast"
// with 16384-byte chunks.
CompressionChoice compression_combo_value(const QComboBox *combo);

QString compression_note();

// ---- Library entries ----
// entry_path, entry_file_name and entry_info_flag come from gui/library.h.

// ---- Files, messages, questions ----

struct FileChoice {
    bool save = true;     // a new file to write; false: an existing file to open
    QString title;        // the chooser's title
    QString folder;       // where it starts (empty: the user's home)
    QString default_name; // the proposed file name (save)
    QString filter;       // "Disk images (*.img)" and the like
    QString note;         // shown in the chooser
};

// Asks for a file. A save choice naming an existing file is refused with
// "The destination already exists. Choose a new filename." and asked again.
// Empty when the user cancelled.
QString dialog_choose_file(QWidget *parent, const FileChoice &choice);

// An information or warning box owned by `parent`.
void dialog_message(QWidget *parent, const QString &title, const QString &text,
                    bool warning = false);

// An OK/Cancel question with Cancel as default; true for OK.
bool dialog_confirm(QWidget *parent, const QString &title, const QString &text,
                    bool warning = true);

// Tests replace the choosers, boxes and creation options. Null members
// keep the real ones.
struct DialogTestHooks {
    QString (*choose_file)(const FileChoice &choice) = nullptr;
    void (*message)(const QString &title, const QString &text) = nullptr;
    bool (*confirm)(const QString &title, const QString &text) = nullptr;
    const JsonValue *creation_options = nullptr;
    // The shell's activity functions for creation, imaging and import.
    int (*start_creation)(std::unique_ptr<CreationJob> job) = nullptr;
    bool (*activity_state)(int activity, ActivityState *out) = nullptr;
    void (*cancel_activity)(int activity) = nullptr;
    // The shell's preference jobs.
    int (*save_preferences)(const QString &entry_id, JsonValue *preferences) = nullptr;
    int (*forget_password)(const QString &entry_id) = nullptr;
};

// The shell's activity functions, or the tests' stand-ins.
int dialog_start_creation(GuiShell *shell, std::unique_ptr<CreationJob> job);
bool dialog_activity_state(GuiShell *shell, int activity, ActivityState *out);
void dialog_cancel_activity(GuiShell *shell, int activity);
int dialog_save_preferences(GuiShell *shell, const QString &entry_id, JsonValue *preferences);
int dialog_forget_password(GuiShell *shell, const QString &entry_id);
void dialogs_set_test_hooks(const DialogTestHooks *hooks);

} // namespace tw
