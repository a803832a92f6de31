// Stand-ins until the operation dialogs exist: each says so and does nothing.
#include "gui/dialogs/dialogs.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>

namespace tw {

namespace {

void not_available(QWidget *parent) {
    QMessageBox::information(parent, QCoreApplication::translate("Dialogs", "Tarnwick Pro"),
                             QCoreApplication::translate("Dialogs", "Not available yet."));
}

} // namespace

int dialog_run_operation(QWidget *parent, GuiShell *, OperationKind, const JsonValue *,
                         OperationInput *) {
    not_available(parent);
    return 0;
}

void dialog_new_container(QWidget *parent, GuiShell *) {
    not_available(parent);
}
void dialog_image_device(QWidget *parent, GuiShell *) {
    not_available(parent);
}
void dialog_import_veracrypt(QWidget *parent, GuiShell *) {
    not_available(parent);
}
void dialog_settings(QWidget *parent, GuiShell *) {
    not_available(parent);
}

QWidget *dialog_mount_preferences(QWidget *parent, GuiShell *, const JsonValue *,
                                  const JsonValue *) {
    return new QLabel(QString(), parent);
}

} // namespace tw
