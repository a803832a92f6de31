// Driving modal dialogs from tests: acting on a dialog once it shows, and
// recording the message boxes, questions and file choosers the dialogs
// would show.
#pragma once

#include "gui/dialogs/dialog_support.h"
#include "gui/dialogs/form_dialog.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace tw::test {

struct DialogRecorder {
    std::vector<QString> messages;   // "title|text"
    std::vector<QString> questions;  // "title|text"
    bool answer = true;              // the answer to every question
    std::vector<QString> files;      // the chooser's answers, in order
    std::vector<FileChoice> choices; // what the choosers were asked
};

inline DialogRecorder &recorder() {
    static DialogRecorder r;
    return r;
}

inline void install_recorder(const JsonValue *creation_options) {
    static DialogTestHooks hooks;
    hooks.creation_options = creation_options;
    hooks.message = [](const QString &title, const QString &text) {
        recorder().messages.push_back(title + u'|' + text);
    };
    hooks.confirm = [](const QString &title, const QString &text) {
        recorder().questions.push_back(title + u'|' + text);
        return recorder().answer;
    };
    hooks.choose_file = [](const FileChoice &choice) {
        recorder().choices.push_back(choice);
        if (recorder().files.empty())
            return QString();
        QString next = recorder().files.front();
        recorder().files.erase(recorder().files.begin());
        return next;
    };
    recorder() = DialogRecorder{};
    dialogs_set_test_hooks(&hooks);
}

// Calls `act` with the next modal FormDialog as soon as it shows (each
// dialog at most once), polling every 10 ms.
inline void when_shown(std::function<void(FormDialog *)> act) {
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto *dialog = qobject_cast<FormDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || dialog->property("tw_test_seen").toBool())
            return;
        dialog->setProperty("tw_test_seen", true);
        timer->stop();
        timer->deleteLater();
        act(dialog);
    });
    timer->start();
}

inline QLineEdit *edit_named(QWidget *root, const char *name) {
    return root->findChild<QLineEdit *>(QLatin1String(name));
}

// Fills the new-password panel's two edits.
inline void type_new_passwords(QWidget *dialog, const QString &password, const QString &confirm) {
    edit_named(dialog, "newPassword")->setText(password);
    edit_named(dialog, "confirmation")->setText(confirm);
}

} // namespace tw::test
