// The frame every dialog of the application is built on: a modal window
// with a vertically scrolling form of rows (titles, texts, notes, edits,
// check boxes, combo boxes, buttons and a collapsible "Advanced" section),
// an OK button and "Cancel".
//
// A dialog is a state of its own plus four callbacks: build the rows,
// handle a command (OK, Cancel, or a control given a command number),
// handle the result of a background job, and wipe its secrets when it
// closes. Password edits made here are wiped by the frame itself.
#pragma once

#include "client/client.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QToolButton;

namespace tw {

class FormDialog;

// Commands 1 and 2 are OK and Cancel; dialogs number their own from 100.
inline constexpr int kFormOk = 1;
inline constexpr int kFormCancel = 2;
inline constexpr int kFormFirstCommand = 100;

struct FormCallbacks {
    // Adds the rows; called once when the dialog is made.
    void (*build)(FormDialog *dialog, void *state);
    // A command. True when handled; otherwise OK accepts and Cancel
    // rejects the dialog.
    bool (*command)(FormDialog *dialog, void *state, int command);
    // A background job started with start_job ended; `outcome` is its
    // result (owned by the frame, released after the call).
    void (*result)(FormDialog *dialog, void *state, int job, ClientOutcome *outcome);
    // The dialog closes: wipe what the state holds.
    void (*wipe)(FormDialog *dialog, void *state);
};

enum class NoteStyle { Plain, Warning };

class FormDialog : public QDialog {
    Q_OBJECT

  public:
    FormDialog(QWidget *parent, const QString &title, const QString &ok_text,
               const FormCallbacks *callbacks, void *state);
    ~FormDialog() override;

    // ---- Rows, added top to bottom ----
    QLabel *add_title(const QString &text);
    QLabel *add_text(const QString &text);
    QLabel *add_note(const QString &text, NoteStyle style = NoteStyle::Plain);
    // Changes a note's text; an empty note takes no room.
    static void set_note(QLabel *note, const QString &text);
    // A labelled edit; `digits` accepts only 0-9. Changes send `command`
    // (0: none).
    QLineEdit *add_edit(const QString &label, int command = 0, bool digits = false);
    // A labelled password edit with "Show Password".
    QLineEdit *add_password(const QString &label, int command = 0);
    QCheckBox *add_check(const QString &text, int command = 0);
    QComboBox *add_combo(const QString &label, int command = 0);
    QPushButton *add_button(const QString &text, int command);
    // Any widget across the whole row (the dialog takes it).
    void add_widget(QWidget *widget);
    // Rows added between these two go into the collapsible "Advanced"
    // section, closed at first.
    void begin_advanced();
    void end_advanced();

    // The message of an invalid row, shown right under it (empty hides it).
    void set_row_error(QWidget *field, const QString &text);
    QString row_error(QWidget *field) const;
    void clear_row_errors();

    QPushButton *ok_button() const { return ok_; }
    QPushButton *cancel_button() const { return cancel_; }
    // Sends a command as the controls do.
    void command(int command);

    // Runs `work` on a worker thread; its outcome comes back to the result
    // callback on this dialog's thread, and never once the dialog is gone.
    void start_job(int job, std::function<int(ClientOutcome *)> work);
    int jobs_running() const { return jobs_running_; }

    // Replaces the form by `widget` (a progress view); the buttons stay.
    void show_instead_of_form(QWidget *widget);

    // Makes the window as tall as its form needs, up to a limit (beyond
    // it the form scrolls).
    void fit_height();

    void *state() const { return state_; }

    // Escape and the window's close button act as Cancel (not while Cancel
    // is disabled).
    void reject() override;
    void done(int result) override;

  private:
    QWidget *row_parent() const;
    void add_row(QWidget *label, QWidget *field);
    void add_error_label(QWidget *field);
    void wipe_once();

    const FormCallbacks *callbacks_;
    void *state_;
    QScrollArea *scroll_ = nullptr;
    QWidget *panel_ = nullptr;
    QGridLayout *grid_ = nullptr;
    QPushButton *ok_ = nullptr;
    QPushButton *cancel_ = nullptr;
    QToolButton *advanced_toggle_ = nullptr;
    QList<QWidget *> advanced_rows_;
    bool in_advanced_ = false;
    int row_ = 0;
    QHash<QWidget *, QLabel *> errors_;
    QList<QLineEdit *> passwords_;
    int jobs_running_ = 0;
    bool wiped_ = false;
};

} // namespace tw
