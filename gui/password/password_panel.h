// The new-password panel shared by every dialog that sets a container
// password: the password and its confirmation, a live strength estimate,
// the check against the cipher's byte limit, a random generator and a copy
// button whose copy is cleared from the clipboard again.
#pragma once

#include "platform/secure_memory.h"

#include <QWidget>
#include <cstdint>
#include <span>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace tw {

// The width of the label column, shared by the panel and the dialog forms
// around it so that their fields line up.
inline constexpr int kFormLabelWidth = 160;

// A password edit showing U+25CF for each character.
QLineEdit *password_edit_new(QWidget *parent);

// A "Show Password"/"Hide Password" button that toggles `edit`.
QPushButton *password_show_button_new(QLineEdit *edit, QWidget *parent);

// The estimator the panel runs on its worker threads: a score 0 to 4, or a
// negative number when no estimate could be made.
using StrengthEstimator = int (*)(std::span<const uint8_t> password);

class PasswordPanel : public QWidget {
    Q_OBJECT

  public:
    explicit PasswordPanel(QWidget *parent = nullptr);
    ~PasswordPanel() override;

    // The new password's byte limit for the chosen cipher; 0 or negative
    // while unknown (the generator is then off, the panel still validates).
    void set_limit(int limit);
    int limit() const { return limit_; }

    // True when the new password is 1 to 4096 bytes, equals its
    // confirmation and fits a known limit.
    bool is_valid() const;

    // Copies the new password and its confirmation into locked buffers.
    // -ENOMEM when no memory could be had.
    int take(SecureBuffer *new_password, SecureBuffer *confirmation) const;

    // Overwrites and empties both fields.
    void wipe();

    // Tests replace the estimator (null restores the real one) and the
    // pause after typing before an estimate starts.
    static void set_estimator_for_testing(StrengthEstimator estimator);
    static void set_debounce_for_testing(int ms);

  signals:
    // Either field, the limit or the validity may have changed.
    void changed();

  private:
    void on_edited();
    void start_estimate();
    void show_estimate(uint64_t generation, int score);
    void generate();
    void copy();
    void update_error_line();
    static void set_status(QLabel *label, const QString &text);

    QLineEdit *password_ = nullptr;
    QLineEdit *confirmation_ = nullptr;
    QPushButton *show_ = nullptr;
    QPushButton *copy_ = nullptr;
    QLabel *strength_ = nullptr;
    QLabel *hint_ = nullptr;
    QLabel *error_ = nullptr;
    QSpinBox *length_ = nullptr;
    QCheckBox *symbols_ = nullptr;
    QPushButton *generate_ = nullptr;
    QLabel *limit_line_ = nullptr;
    QLabel *generator_error_ = nullptr;
    QTimer *debounce_ = nullptr;
    int limit_ = 0;
    // Every estimate request takes the next number; only the result of the
    // latest pending one is shown (0: none pending).
    uint64_t generation_ = 0;
    uint64_t pending_ = 0;
};

// The UTF-8 length of a text without making a copy of it.
size_t utf8_length(const QString &text);

} // namespace tw
