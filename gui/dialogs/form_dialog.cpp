#include "gui/dialogs/form_dialog.h"

#include "gui/password/password_panel.h"
#include "gui/password/password_tools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace tw {

namespace {

// The window's width, and the bounds of its height.
constexpr int kWidth = 600;
constexpr int kHeightMin = 200;
constexpr int kHeightMax = 680;

void set_text_color(QLabel *label, const QColor &color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel *wrapped_label(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

FormDialog::FormDialog(QWidget *parent, const QString &title, const QString &ok_text,
                       const FormCallbacks *callbacks, void *state)
    : QDialog(parent), callbacks_(callbacks), state_(state) {
    setObjectName(QStringLiteral("TarnwickDialog"));
    setWindowTitle(title);
    setModal(true);
    auto *outer = new QVBoxLayout(this);
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    panel_ = new QWidget;
    panel_->setObjectName(QStringLiteral("TarnwickPanel"));
    grid_ = new QGridLayout(panel_);
    grid_->setColumnStretch(1, 1);
    grid_->setVerticalSpacing(6);
    scroll_->setWidget(panel_);
    outer->addWidget(scroll_, 1);

    auto *buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(ok_text, QDialogButtonBox::AcceptRole);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setDefault(true);
    cancel_ = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    cancel_->setObjectName(QStringLiteral("cancel"));
    // The buttons send their commands; the callback decides.
    connect(ok_, &QPushButton::clicked, this, [this] { command(kFormOk); });
    connect(cancel_, &QPushButton::clicked, this, [this] { command(kFormCancel); });
    outer->addWidget(buttons);

    resize(kWidth, kHeightMax);
    if (callbacks_->build)
        callbacks_->build(this, state_);
    grid_->setRowStretch(row_, 1);
    fit_height();
}

void FormDialog::fit_height() {
    QWidget *form = scroll_->widget();
    if (!form || !form->layout())
        return;
    // The form's height at the scroll area's width, plus the frame, the
    // buttons and the margins around them.
    const QMargins margins = layout()->contentsMargins();
    const int inner = kWidth - margins.left() - margins.right();
    const int needed = form->layout()->totalHeightForWidth(inner) + ok_->sizeHint().height() +
                       margins.top() + margins.bottom() + 2 * layout()->spacing() + 8;
    resize(width(), std::clamp(needed, kHeightMin, kHeightMax));
}

FormDialog::~FormDialog() {
    wipe_once();
}

QWidget *FormDialog::row_parent() const {
    return panel_;
}

void FormDialog::add_row(QWidget *label, QWidget *field) {
    if (label) {
        // The label column has the panel's width, so that the fields of
        // the form and of an embedded password panel line up.
        label->setFixedWidth(kFormLabelWidth);
        grid_->addWidget(label, row_, 0, Qt::AlignVCenter | Qt::AlignLeft);
        grid_->addWidget(field, row_, 1);
    } else {
        grid_->addWidget(field, row_, 0, 1, 2);
    }
    if (in_advanced_) {
        if (label) {
            advanced_rows_.append(label);
            label->setVisible(advanced_toggle_->isChecked());
        }
        advanced_rows_.append(field);
        field->setVisible(advanced_toggle_->isChecked());
    }
    row_++;
}

void FormDialog::add_error_label(QWidget *field) {
    QLabel *error = wrapped_label(QString(), row_parent());
    set_text_color(error, QColor(0xB0, 0x20, 0x20));
    error->setObjectName(QStringLiteral("rowError"));
    error->hide();
    errors_.insert(field, error);
    grid_->addWidget(error, row_++, 1);
    if (in_advanced_)
        advanced_rows_.append(error);
}

QLabel *FormDialog::add_title(const QString &text) {
    QLabel *label = wrapped_label(text, row_parent());
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    label->setFont(font);
    add_row(nullptr, label);
    return label;
}

QLabel *FormDialog::add_text(const QString &text) {
    QLabel *label = wrapped_label(text, row_parent());
    add_row(nullptr, label);
    return label;
}

QLabel *FormDialog::add_note(const QString &text, NoteStyle style) {
    QLabel *label = wrapped_label(text, row_parent());
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    if (style == NoteStyle::Warning)
        set_text_color(label, QColor(0xA0, 0x40, 0x00));
    else
        set_text_color(label, label->palette().color(QPalette::PlaceholderText));
    add_row(nullptr, label);
    if (text.isEmpty())
        label->hide();
    return label;
}

void FormDialog::set_note(QLabel *note, const QString &text) {
    note->setText(text);
    note->setVisible(!text.isEmpty());
}

QLineEdit *FormDialog::add_edit(const QString &label, int command_id, bool digits) {
    auto *edit = new QLineEdit(row_parent());
    if (digits)
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    if (command_id)
        connect(edit, &QLineEdit::textChanged, this, [this, command_id] { command(command_id); });
    add_row(wrapped_label(label, row_parent()), edit);
    add_error_label(edit);
    return edit;
}

QLineEdit *FormDialog::add_password(const QString &label, int command_id) {
    auto *box = new QWidget(row_parent());
    auto *line = new QHBoxLayout(box);
    line->setContentsMargins(0, 0, 0, 0);
    QLineEdit *edit = password_edit_new(box);
    line->addWidget(edit, 1);
    line->addWidget(password_show_button_new(edit, box));
    if (command_id)
        connect(edit, &QLineEdit::textChanged, this, [this, command_id] { command(command_id); });
    add_row(wrapped_label(label, row_parent()), box);
    add_error_label(edit);
    passwords_.append(edit);
    return edit;
}

QCheckBox *FormDialog::add_check(const QString &text, int command_id) {
    auto *box = new QCheckBox(text, row_parent());
    if (command_id)
        connect(box, &QCheckBox::toggled, this, [this, command_id] { command(command_id); });
    add_row(nullptr, box);
    return box;
}

QComboBox *FormDialog::add_combo(const QString &label, int command_id) {
    auto *combo = new QComboBox(row_parent());
    if (command_id)
        connect(combo, &QComboBox::currentIndexChanged, this,
                [this, command_id] { command(command_id); });
    add_row(wrapped_label(label, row_parent()), combo);
    return combo;
}

QPushButton *FormDialog::add_button(const QString &text, int command_id) {
    auto *button = new QPushButton(text, row_parent());
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, command_id] { command(command_id); });
    auto *box = new QWidget(row_parent());
    auto *line = new QHBoxLayout(box);
    line->setContentsMargins(0, 0, 0, 0);
    line->addWidget(button);
    line->addStretch(1);
    add_row(nullptr, box);
    return button;
}

void FormDialog::add_widget(QWidget *widget) {
    widget->setParent(row_parent());
    add_row(nullptr, widget);
}

void FormDialog::begin_advanced() {
    advanced_toggle_ = new QToolButton(row_parent());
    advanced_toggle_->setObjectName(QStringLiteral("advanced"));
    advanced_toggle_->setText(tr("Advanced"));
    advanced_toggle_->setCheckable(true);
    advanced_toggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    advanced_toggle_->setArrowType(Qt::RightArrow);
    advanced_toggle_->setAutoRaise(true);
    connect(advanced_toggle_, &QToolButton::toggled, this, [this](bool open) {
        advanced_toggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        for (QWidget *w : advanced_rows_) {
            auto *label = qobject_cast<QLabel *>(w);
            w->setVisible(open && !(label && label->text().isEmpty()));
        }
        if (open && isVisible())
            fit_height();
    });
    add_row(nullptr, advanced_toggle_);
    in_advanced_ = true;
}

void FormDialog::end_advanced() {
    in_advanced_ = false;
}

void FormDialog::set_row_error(QWidget *field, const QString &text) {
    QLabel *error = errors_.value(field);
    if (!error)
        return;
    error->setText(text);
    error->setVisible(!text.isEmpty());
    if (!text.isEmpty()) {
        // An error inside the closed Advanced section opens it.
        if (advanced_toggle_ && advanced_rows_.contains(error) && !advanced_toggle_->isChecked())
            advanced_toggle_->setChecked(true);
        scroll_->ensureWidgetVisible(field);
    }
}

QString FormDialog::row_error(QWidget *field) const {
    QLabel *error = errors_.value(field);
    return error ? error->text() : QString();
}

void FormDialog::clear_row_errors() {
    for (QLabel *error : std::as_const(errors_)) {
        error->clear();
        error->hide();
    }
}

void FormDialog::command(int command_id) {
    if (callbacks_->command && callbacks_->command(this, state_, command_id))
        return;
    if (command_id == kFormOk)
        accept();
    else if (command_id == kFormCancel)
        QDialog::reject();
}

void FormDialog::reject() {
    // Escape and the window's close button act as Cancel, and not at all
    // while Cancel is disabled.
    if (!cancel_->isEnabled())
        return;
    command(kFormCancel);
}

void FormDialog::done(int result) {
    wipe_once();
    QDialog::done(result);
}

void FormDialog::wipe_once() {
    if (wiped_)
        return;
    wiped_ = true;
    for (QLineEdit *edit : std::as_const(passwords_))
        wipe_line_edit(edit);
    for (PasswordPanel *panel : findChildren<PasswordPanel *>())
        panel->wipe();
    if (callbacks_->wipe)
        callbacks_->wipe(this, state_);
}

void FormDialog::start_job(int job, std::function<int(ClientOutcome *)> work) {
    auto outcome = std::make_shared<ClientOutcome>();
    auto *watcher = new QFutureWatcher<void>(this);
    jobs_running_++;
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, watcher, outcome, job] {
        jobs_running_--;
        watcher->deleteLater();
        if (callbacks_->result)
            callbacks_->result(this, state_, job, outcome.get());
    });
    watcher->setFuture(
        QtConcurrent::run([work = std::move(work), outcome] { work(outcome.get()); }));
}

void FormDialog::show_instead_of_form(QWidget *widget) {
    QWidget *old = scroll_->takeWidget();
    if (old)
        old->hide();
    scroll_->setWidget(widget);
    fit_height();
    // The old form keeps its controls (and the state's pointers to them)
    // until the dialog goes.
    if (old) {
        old->setParent(this);
        old->hide();
    }
}

} // namespace tw
