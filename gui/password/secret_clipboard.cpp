#include "gui/password/secret_clipboard.h"

#include "gui/password/password_tools.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

namespace tw {

namespace {

// The copy is recognised by a mark of its own (this process and a count of
// copies) rather than by its text, so nothing of the password is kept for
// the comparison.
const QString kMarkFormat = QStringLiteral("application/x-tarnwick-copy");
const QString kHintFormat = QStringLiteral("x-kde-passwordManagerHint");

struct ClipboardState {
    QTimer *timer = nullptr;
    QByteArray mark;
    int delay_ms = kSecretClipboardClearMs;
};

ClipboardState &state() {
    static ClipboardState s;
    return s;
}

// True when the clipboard still holds the copy made with `mark`.
bool clipboard_holds(const QByteArray &mark) {
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    return data != nullptr && !mark.isEmpty() && data->hasFormat(kMarkFormat) &&
           data->data(kMarkFormat) == mark;
}

// Qt's clipboard is always available to the GUI thread, so a clear never
// has to wait for another program to let go of it and is not retried.
void clear_if_unchanged() {
    ClipboardState &s = state();
    if (s.timer)
        s.timer->stop();
    if (clipboard_holds(s.mark)) {
        // Our own mime data shares its text with the returned copy: wipe it
        // in place before the clipboard releases it.
        QString text = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard)->text();
        wipe_text(&text);
        QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
    }
    s.mark.clear();
}

} // namespace

void secret_clipboard_copy(std::span<const uint8_t> password) {
    ClipboardState &s = state();
    if (!s.timer) {
        s.timer = new QTimer(QCoreApplication::instance());
        s.timer->setSingleShot(true);
        QObject::connect(s.timer, &QTimer::timeout, [] { clear_if_unchanged(); });
        // A copy still pending when the program ends is taken back at once.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                         [] { secret_clipboard_clear_now(); });
    }
    static quint64 copies = 0;
    const QByteArray mark =
        QByteArray::number(QCoreApplication::applicationPid()) + ':' + QByteArray::number(++copies);
    auto *data = new QMimeData;
    QString text = secret_to_text(password);
    data->setText(text);
    data->setData(kHintFormat, QByteArrayLiteral("secret"));
    data->setData(kMarkFormat, mark);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    // The mime data holds its own reference to the text; dropping ours
    // leaves that one as the only copy, wiped when the clipboard is cleared.
    text = QString();
    s.mark = mark;
    s.timer->start(s.delay_ms);
}

bool secret_clipboard_pending() {
    const ClipboardState &s = state();
    return s.timer != nullptr && s.timer->isActive();
}

void secret_clipboard_clear_now() {
    if (!state().mark.isEmpty())
        clear_if_unchanged();
}

void secret_clipboard_set_clear_delay_for_testing(int ms) {
    state().delay_ms = ms > 0 ? ms : kSecretClipboardClearMs;
}

} // namespace tw
