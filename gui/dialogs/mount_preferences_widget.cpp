// The "Mount Preferences" section of the library window's details pane.
// Each change builds the entry's new preferences, checks them with the
// rules the mount service applies, and hands them to the shell's "Saving
// Preferences" job.
#include "gui/dialogs/dialog_support.h"
#include "gui/dialogs/dialogs.h"
#include "runtime/mount_preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace tw {

namespace {

constexpr int kIdleChoices[] = {5, 15, 30, 60}; // minutes
constexpr int kIdleMinutesMax = 525600;

QLabel *note_label(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

// The label in front of a field: it wraps, so a long translation grows the
// row downwards instead of widening the narrow details pane.
QLabel *row_label(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

constexpr int kFieldMinimumWidth = 80;

QString trim_spaces_and_tabs(const QString &text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && (text.at(begin) == u' ' || text.at(begin) == u'\t'))
        begin++;
    while (end > begin && (text.at(end - 1) == u' ' || text.at(end - 1) == u'\t'))
        end--;
    return text.mid(begin, end - begin);
}

class MountPreferencesWidget : public QGroupBox {
  public:
    MountPreferencesWidget(QWidget *parent, GuiShell *shell, const JsonValue *entry,
                           const JsonValue *session)
        // The details pane gives the section its heading; the box only
        // frames it.
        : QGroupBox(parent), shell_(shell),
          entry_id_(QString::fromUtf8(json_get_string(entry, "id", ""))),
          preferences_(json_clone(json_get(entry, "preferences"))) {
        setObjectName(QStringLiteral("mountPreferences"));
        auto *layout = new QVBoxLayout(this);

        // Mount label.
        auto *label_row = new QHBoxLayout;
        label_row->addWidget(row_label(Dialogs::tr("Mount label"), this), 1);
        label_ = new QLineEdit(QString::fromUtf8(json_get_string(preferences_, "volumeLabel", "")),
                               this);
        label_->setObjectName(QStringLiteral("mountLabel"));
        label_->setMinimumWidth(kFieldMinimumWidth);
        label_row->addWidget(label_, 2);
        auto *save_button = new QPushButton(Dialogs::tr("Save"), this);
        save_button->setObjectName(QStringLiteral("saveLabel"));
        label_row->addWidget(save_button);
        layout->addLayout(label_row);
        error_ = new QLabel(this);
        error_->setObjectName(QStringLiteral("preferencesError"));
        error_->setWordWrap(true);
        QPalette palette = error_->palette();
        palette.setColor(QPalette::WindowText, QColor(0xB0, 0x20, 0x20));
        error_->setPalette(palette);
        error_->hide();
        layout->addWidget(error_);
        layout->addWidget(note_label(Dialogs::tr("Leave blank to use the container filename. "
                                                 "Duplicate names get a number. Changes apply "
                                                 "on the next mount."),
                                     this));
        const char *current = json_get_string(session, "explorerName", "");
        if (*current)
            layout->addWidget(
                new QLabel(Dialogs::tr("%1: %2").arg(Dialogs::tr("Current mount name"),
                                                     QString::fromUtf8(current)),
                           this));
        connect(save_button, &QPushButton::clicked, this, [this] { save_label(); });
        connect(label_, &QLineEdit::returnPressed, this, [this] { save_label(); });

        // Read-only.
        read_only_ = new QCheckBox(Dialogs::tr("Mount read-only"), this);
        read_only_->setObjectName(QStringLiteral("readOnly"));
        read_only_->setChecked(mount_preferences_read_only(preferences_));
        layout->addWidget(read_only_);
        layout->addWidget(note_label(Dialogs::tr("Experimental writes use the Linux NTFS, exFAT, "
                                                 "and FAT drivers. Check credentials to detect "
                                                 "support. Changes apply on the next mount."),
                                     this));
        connect(read_only_, &QCheckBox::toggled, this, [this](bool on) { read_only_changed(on); });

        // Unmount after inactivity.
        auto *idle_row = new QHBoxLayout;
        idle_row->addWidget(row_label(Dialogs::tr("Unmount after inactivity"), this), 1);
        idle_ = new QComboBox(this);
        // The pane is narrow: the choices may be cut rather than widen it.
        idle_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        idle_->setMinimumContentsLength(8);
        idle_->setObjectName(QStringLiteral("idle"));
        idle_->addItem(Dialogs::tr("Off"), 0);
        for (int minutes : kIdleChoices)
            idle_->addItem(Dialogs::tr("%n minutes", nullptr, minutes), minutes * 60);
        idle_->addItem(Dialogs::tr("Custom…"), -1);
        idle_row->addWidget(idle_, 2);
        layout->addLayout(idle_row);
        auto *custom_row = new QHBoxLayout;
        custom_ = new QLineEdit(this);
        custom_->setObjectName(QStringLiteral("idleMinutes"));
        custom_->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[0-9]{0,6}")), custom_));
        custom_->setPlaceholderText(Dialogs::tr("Minutes"));
        apply_ = new QPushButton(Dialogs::tr("Apply"), this);
        apply_->setObjectName(QStringLiteral("applyIdle"));
        custom_row->addWidget(custom_, 1);
        custom_row->addWidget(apply_);
        layout->addLayout(custom_row);
        layout->addWidget(note_label(Dialogs::tr("Counts time without disk activity observed by "
                                                 "the worker, including sleep. Background "
                                                 "activity resets the timer; cached reads may "
                                                 "not. Busy volumes stay mounted."),
                                     this));
        const char *idle_message = json_get_string(session, "idleMessage", "");
        if (*idle_message)
            layout->addWidget(note_label(QString::fromUtf8(idle_message), this));
        select_idle(json_get_int(preferences_, "idleSeconds", 0));
        connect(idle_, &QComboBox::currentIndexChanged, this, [this] { idle_changed(); });
        connect(apply_, &QPushButton::clicked, this, [this] { apply_custom(); });

        // Mount after sign-in.
        login_ = new QCheckBox(Dialogs::tr("Mount after sign-in"), this);
        login_->setObjectName(QStringLiteral("mountOnLogin"));
        login_->setChecked(json_get_bool(preferences_, "mountOnLogin", false));
        layout->addWidget(login_);
        layout->addWidget(note_label(Dialogs::tr("Enable Launch at Login in Settings, then mount "
                                                 "once with Remember in the keyring selected. "
                                                 "Missing credentials leave the container "
                                                 "locked."),
                                     this));
        auto *forget = new QPushButton(Dialogs::tr("Forget Saved Password"), this);
        forget->setObjectName(QStringLiteral("forget"));
        auto *forget_row = new QHBoxLayout;
        forget_row->addWidget(forget);
        forget_row->addStretch(1);
        layout->addLayout(forget_row);
        connect(login_, &QCheckBox::toggled, this, [this](bool on) {
            JsonValue *next = next_preferences();
            json_set_bool(next, "mountOnLogin", on);
            if (!save(next)) {
                const QSignalBlocker quiet(login_);
                login_->setChecked(!on);
            }
        });
        connect(forget, &QPushButton::clicked, this,
                [this] { dialog_forget_password(shell_, entry_id_); });
    }

    ~MountPreferencesWidget() override { json_free(preferences_); }

  private:
    JsonValue *next_preferences() const {
        JsonValue *next = json_clone(preferences_);
        return next ? next : json_new(JsonKind::Object);
    }

    // Checks the new preferences with the shared rules and hands them to the
    // shell; false (with the rule's message shown) when they break one.
    bool save(JsonValue *next) {
        std::string code, message;
        if (mount_preferences_check(next, &code, &message) != 0) {
            error_->setText(QString::fromStdString(message));
            error_->show();
            json_free(next);
            return false;
        }
        error_->clear();
        error_->hide();
        json_free(preferences_);
        preferences_ = json_clone(next);
        dialog_save_preferences(shell_, entry_id_, next);
        return true;
    }

    void save_label() {
        const QString label = trim_spaces_and_tabs(label_->text());
        JsonValue *next = next_preferences();
        if (label.isEmpty())
            json_remove(next, "volumeLabel");
        else
            json_set_string(next, "volumeLabel", label.toUtf8().constData());
        if (save(next))
            label_->setText(label);
    }

    void read_only_changed(bool on) {
        JsonValue *next = next_preferences();
        if (!on) {
            if (!dialog_confirm(this, Dialogs::tr("Enable Experimental Writes?"),
                                Dialogs::tr("Normal writes and injected errors have been tested. "
                                            "Crash recovery is not qualified: a crash can damage "
                                            "the filesystem. Keep a separate backup. Login "
                                            "mounts stay read-only."))) {
                json_free(next);
                const QSignalBlocker quiet(read_only_);
                read_only_->setChecked(true);
                return;
            }
            json_remove(next, "mountOnLogin");
            const QSignalBlocker quiet(login_);
            login_->setChecked(false);
        }
        json_set_bool(next, "readOnly", on);
        if (!save(next)) {
            const QSignalBlocker quiet(read_only_);
            read_only_->setChecked(!on);
        }
    }

    void select_idle(int64_t seconds) {
        const QSignalBlocker quiet(idle_);
        const int index = seconds > 0 ? idle_->findData(static_cast<int>(seconds)) : 0;
        const bool custom = seconds > 0 && (index < 0 || seconds % 60 != 0);
        idle_->setCurrentIndex(custom ? idle_->count() - 1 : index);
        custom_->setVisible(custom);
        apply_->setVisible(custom);
        if (custom)
            custom_->setText(QString::number((seconds + 59) / 60));
    }

    void idle_changed() {
        const int seconds = idle_->currentData().toInt();
        const bool custom = seconds < 0;
        custom_->setVisible(custom);
        apply_->setVisible(custom);
        if (custom)
            return;
        JsonValue *next = next_preferences();
        if (seconds == 0)
            json_remove(next, "idleSeconds");
        else
            json_set_int(next, "idleSeconds", seconds);
        save(next);
    }

    void apply_custom() {
        bool ok = false;
        const int minutes = custom_->text().toInt(&ok);
        if (!ok || minutes < 1 || minutes > kIdleMinutesMax) {
            error_->setText(Dialogs::tr("Enter 1 to 525600 minutes."));
            error_->show();
            return;
        }
        JsonValue *next = next_preferences();
        json_set_int(next, "idleSeconds", static_cast<int64_t>(minutes) * 60);
        save(next);
    }

    GuiShell *shell_;
    QString entry_id_;
    JsonValue *preferences_;
    QLineEdit *label_ = nullptr;
    QLabel *error_ = nullptr;
    QCheckBox *read_only_ = nullptr;
    QComboBox *idle_ = nullptr;
    QLineEdit *custom_ = nullptr;
    QPushButton *apply_ = nullptr;
    QCheckBox *login_ = nullptr;
};

} // namespace

QWidget *dialog_mount_preferences(QWidget *parent, GuiShell *shell, const JsonValue *entry,
                                  const JsonValue *session) {
    return new MountPreferencesWidget(parent, shell, entry, session);
}

} // namespace tw
