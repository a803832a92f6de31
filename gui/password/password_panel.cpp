#include "gui/password/password_panel.h"

#include "gui/password/password_tools.h"
#include "gui/password/secret_clipboard.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cerrno>
#include <memory>

namespace tw {

namespace {

constexpr int kDebounceMs = 250;

StrengthEstimator g_estimator = nullptr;
int g_debounce_ms = kDebounceMs;

// Password edits show U+25CF for each character whatever the style says.
class PasswordCharacterStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *ret) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return 0x25CF;
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

QStyle *password_style() {
    // One style for the whole program, owned by the application.
    static QPointer<QStyle> style;
    if (!style) {
        style = new PasswordCharacterStyle;
        style->setParent(QCoreApplication::instance());
    }
    return style;
}

QLabel *status_label(QWidget *parent, const char *name) {
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->hide(); // until it has something to say
    return label;
}

QString strength_label(int score) {
    switch (score) {
    case 0:
    case 1:
        return PasswordPanel::tr("Weak");
    case 2:
        return PasswordPanel::tr("Fair");
    case 3:
        return PasswordPanel::tr("Strong");
    default:
        return PasswordPanel::tr("Very strong");
    }
}

void set_error_style(QLabel *label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0xB0, 0x20, 0x20));
    label->setPalette(palette);
}

} // namespace

size_t utf8_length(const QString &text) {
    size_t bytes = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; i++) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < n &&
                   QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            bytes += 4;
            i++;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

QLineEdit *password_edit_new(QWidget *parent) {
    auto *edit = new QLineEdit(parent);
    edit->setStyle(password_style());
    edit->setEchoMode(QLineEdit::Password);
    edit->setMaxLength(32767);
    return edit;
}

QPushButton *password_show_button_new(QLineEdit *edit, QWidget *parent) {
    auto *button = new QPushButton(PasswordPanel::tr("Show Password"), parent);
    button->setObjectName(QStringLiteral("showPassword"));
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, edit, [edit, button] {
        const bool hidden = edit->echoMode() == QLineEdit::Password;
        edit->setEchoMode(hidden ? QLineEdit::Normal : QLineEdit::Password);
        button->setText(hidden ? PasswordPanel::tr("Hide Password")
                               : PasswordPanel::tr("Show Password"));
    });
    return button;
}

PasswordPanel::PasswordPanel(QWidget *parent) : QWidget(parent) {
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnStretch(1, 1);

    password_ = password_edit_new(this);
    password_->setObjectName(QStringLiteral("newPassword"));
    confirmation_ = password_edit_new(this);
    confirmation_->setObjectName(QStringLiteral("confirmation"));
    show_ = password_show_button_new(password_, this);
    copy_ = new QPushButton(tr("Copy"), this);
    copy_->setObjectName(QStringLiteral("copy"));
    copy_->setAutoDefault(false);
    copy_->setEnabled(false);

    auto column_label = [this](const QString &text) {
        auto *label = new QLabel(text, this);
        label->setWordWrap(true);
        label->setFixedWidth(kFormLabelWidth);
        return label;
    };
    grid->addWidget(column_label(tr("New Password")), 0, 0);
    grid->addWidget(password_, 0, 1);
    grid->addWidget(show_, 0, 2);
    grid->addWidget(column_label(tr("Confirm New Password")), 1, 0);
    grid->addWidget(confirmation_, 1, 1);
    grid->addWidget(copy_, 1, 2);

    strength_ = status_label(this, "strength");
    hint_ = status_label(this, "hint");
    error_ = status_label(this, "error");
    set_error_style(error_);
    grid->addWidget(strength_, 2, 1, 1, 2);
    grid->addWidget(hint_, 3, 1, 1, 2);
    grid->addWidget(error_, 4, 1, 1, 2);

    auto *generator = new QHBoxLayout;
    length_ = new QSpinBox(this);
    length_->setObjectName(QStringLiteral("length"));
    length_->setRange(1, kGeneratorLengthMax);
    length_->setValue(kGeneratorLengthDefault);
    symbols_ = new QCheckBox(tr("Include symbols"), this);
    symbols_->setObjectName(QStringLiteral("symbols"));
    symbols_->setChecked(true);
    generate_ = new QPushButton(tr("Generate"), this);
    generate_->setObjectName(QStringLiteral("generate"));
    generate_->setAutoDefault(false);
    generator->addWidget(length_);
    generator->addWidget(symbols_);
    generator->addWidget(generate_);
    generator->addStretch(1);
    grid->addWidget(column_label(tr("Length")), 5, 0);
    grid->addLayout(generator, 5, 1, 1, 2);
    limit_line_ = status_label(this, "limit");
    generator_error_ = status_label(this, "generatorError");
    set_error_style(generator_error_);
    grid->addWidget(limit_line_, 6, 1, 1, 2);
    grid->addWidget(generator_error_, 7, 1, 1, 2);

    debounce_ = new QTimer(this);
    debounce_->setSingleShot(true);
    connect(debounce_, &QTimer::timeout, this, &PasswordPanel::start_estimate);
    connect(password_, &QLineEdit::textChanged, this, &PasswordPanel::on_edited);
    connect(confirmation_, &QLineEdit::textChanged, this, &PasswordPanel::on_edited);
    connect(generate_, &QPushButton::clicked, this, &PasswordPanel::generate);
    connect(copy_, &QPushButton::clicked, this, &PasswordPanel::copy);
    connect(length_, &QSpinBox::valueChanged, this, [this](int value) {
        length_->setToolTip(tr("Length: %n characters", nullptr, value));
    });
    length_->setToolTip(tr("Length: %n characters", nullptr, length_->value()));
    set_limit(0);
}

PasswordPanel::~PasswordPanel() {
    wipe();
}

void PasswordPanel::set_limit(int limit) {
    limit_ = limit > 0 ? limit : 0;
    const bool known = limit_ > 0;
    if (known) {
        set_status(limit_line_, tr("Password limit: %n UTF-8 bytes.", nullptr, limit_));
        const int top = std::min(limit_, kGeneratorLengthMax);
        const int current = length_->value();
        length_->setRange(1, top);
        length_->setValue(
            current >= 1 && current <= top ? current : std::min(limit_, kGeneratorLengthDefault));
    } else {
        set_status(limit_line_, tr("Check the current password before generating a new one."));
    }
    length_->setEnabled(known);
    symbols_->setEnabled(known);
    generate_->setEnabled(known);
    update_error_line();
    emit changed();
}

bool PasswordPanel::is_valid() const {
    const QString password = password_->text();
    const size_t bytes = utf8_length(password);
    if (bytes < 1 || bytes > kPasswordBytesMax)
        return false;
    if (password != confirmation_->text())
        return false;
    return limit_ <= 0 || bytes <= static_cast<size_t>(limit_);
}

int PasswordPanel::take(SecureBuffer *new_password, SecureBuffer *confirmation) const {
    if (!secret_from_text(password_->text(), new_password) ||
        !secret_from_text(confirmation_->text(), confirmation))
        return -ENOMEM;
    return 0;
}

void PasswordPanel::wipe() {
    wipe_line_edit(password_);
    wipe_line_edit(confirmation_);
}

void PasswordPanel::set_estimator_for_testing(StrengthEstimator estimator) {
    g_estimator = estimator;
}

void PasswordPanel::set_debounce_for_testing(int ms) {
    g_debounce_ms = ms > 0 ? ms : kDebounceMs;
}

// Empty status lines take no room.
void PasswordPanel::set_status(QLabel *label, const QString &text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

void PasswordPanel::update_error_line() {
    const QString password = password_->text();
    const QString confirmation = confirmation_->text();
    if (!confirmation.isEmpty() && confirmation != password)
        set_status(error_, tr("The new passwords do not match."));
    else if (limit_ > 0 && utf8_length(password) > static_cast<size_t>(limit_))
        set_status(error_, tr("The new password is too long."));
    else
        set_status(error_, QString());
}

void PasswordPanel::on_edited() {
    update_error_line();
    const size_t bytes = utf8_length(password_->text());
    if (bytes >= 1 && bytes <= kStrengthBytesMax) {
        pending_ = ++generation_;
        debounce_->start(g_debounce_ms);
    } else {
        debounce_->stop();
        pending_ = 0;
        set_status(hint_, QString());
        if (bytes > kStrengthBytesMax)
            set_status(strength_, tr("Password strength unavailable"));
        else
            set_status(strength_, QString());
    }
    copy_->setEnabled(bytes > 0);
    emit changed();
}

void PasswordPanel::start_estimate() {
    if (pending_ == 0)
        return;
    auto copy = std::make_shared<SecureBuffer>();
    if (!secret_from_text(password_->text(), copy.get())) {
        show_estimate(pending_, -ENOMEM);
        return;
    }
    const uint64_t generation = pending_;
    const StrengthEstimator estimator = g_estimator ? g_estimator : password_strength_score;
    // The worker wipes its copy as soon as the estimate is made. Its result
    // comes back through a watcher owned by this panel, so it reaches the
    // panel's thread, and nothing at all once the panel is gone.
    auto *watcher = new QFutureWatcher<int>(this);
    connect(watcher, &QFutureWatcher<int>::finished, this, [this, watcher, generation] {
        show_estimate(generation, watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run([copy, estimator] {
        const int score = estimator(copy->span());
        copy->clear();
        return score;
    }));
}

void PasswordPanel::show_estimate(uint64_t generation, int score) {
    if (generation != pending_)
        return;
    if (score < 0) {
        set_status(strength_, tr("Password strength unavailable"));
        set_status(hint_, QString());
        return;
    }
    set_status(strength_, tr("%1: %2").arg(tr("Password strength"), strength_label(score)));
    set_status(hint_, score <= 2 ? tr("Add another word or two. Uncommon words are better.")
                                 : tr("Use a unique password for this container."));
}

void PasswordPanel::generate() {
    SecureBuffer generated;
    const int rc = password_generate(length_->value(), limit_, symbols_->isChecked(), &generated);
    if (rc == -EINVAL) {
        set_status(generator_error_, tr("Choose a length within this cipher's password limit."));
        return;
    }
    if (rc < 0) {
        set_status(generator_error_,
                   tr("Linux could not generate secure random bytes. Try again."));
        return;
    }
    wipe();
    // Each field gets a text of its own (made from the locked buffer), so
    // wiping one field later never touches the other.
    password_->setText(secret_to_text(generated.span()));
    confirmation_->setText(secret_to_text(generated.span()));
    if (password_->echoMode() != QLineEdit::Password)
        show_->click();
    set_status(generator_error_, QString());
}

void PasswordPanel::copy() {
    SecureBuffer password;
    if (secret_from_text(password_->text(), &password) && password.size() > 0)
        secret_clipboard_copy(password.span());
}

} // namespace tw
