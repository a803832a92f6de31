// Saves pictures of the library window for a person to look at: the empty
// library and a library of three containers (one mounted), in English and
// Ukrainian. Run it under a display (xvfb-run); it prints the folder.
//
//   tarnwick-gui-screenshots [FOLDER]
#include "gui/app_language.h"
#include "gui/main_window.h"
#include "gui/tests/support/scripted_backend.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

const char kLibrary[] = R"({"version":1,"entries":[
{"id":"0D4C6F2E-9B1A-4C55-8E7A-1F0B6D2C3A41","path":"/home/olena/Containers/Photos 2024.zcx",
 "favorite":true,"added":786000000,"lastOpened":786100000,"lastChecked":786100000,
 "info":{"format":"salted","cipher":"AES-256-XTS","algorithm":9,"filesystem":"exFAT",
  "writeSupported":true,"size":34359738368,"allocatedSize":21474836480,"verified":true,
  "recoveryRequired":false,"plaintext":false,"isCD":false,"writeSessionRecovery":false},
 "preferences":{"readOnly":true,"mountOnLogin":false,"idleSeconds":0}},
{"id":"5A7E1B90-3C2D-4E8F-9A6B-7C0D1E2F3A4B","path":"/home/olena/Containers/Tax records.zcx",
 "favorite":false,"added":786000100,"lastOpened":786000100,
 "info":{"format":"v3","cipher":"XChaCha20","algorithm":10,"filesystem":"FAT32",
  "writeSupported":true,"size":4294967296,"allocatedSize":1073741824,"compression":"fast",
  "verified":true,"recoveryRequired":false,"plaintext":false,"isCD":false,
  "writeSessionRecovery":false},"lastError":"The password is incorrect."},
{"id":"9F8E7D6C-5B4A-4938-8271-6A5B4C3D2E1F","path":"/home/olena/Downloads/installer.iso.zcx",
 "favorite":false,"added":786000200,"lastOpened":786000200,
 "info":{"format":"salted","cipher":"Not checked","algorithm":255,"filesystem":"Not checked",
  "writeSupported":false,"size":734003200,"verified":false,"recoveryRequired":false,
  "plaintext":false,"isCD":true}}]})";

const char kStatus[] = R"({"sessions":[{"id":"4b1f3c2e-8d7a-4e6f-9a1b-2c3d4e5f6a7b",
"path":"/home/olena/Containers/Photos 2024.zcx","phase":"mounted","writable":false,
"mountPoint":"/run/media/olena/Photos 2024","explorerName":"Photos 2024",
"preferences":{"readOnly":true}}],"warnings":[],"serviceUpdateAvailable":false,
"canRestartService":false})";

// The library with a finished check in the recent operations and a running
// operation on the selected container.
bool shoot_busy(const QString &folder, const QString &language) {
    tw::gui_install_translators(*qApp, language);
    const QString library = folder + QStringLiteral("/library-%1-busy.json").arg(language);
    QFile file(library);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(kLibrary);
    file.close();
    {
        std::lock_guard lock(tw::scripted().mutex);
        tw::scripted().status = kStatus;
    }
    tw::MainWindow window(nullptr, library.toStdString(), tw::scripted_backend());
    window.set_message_sink([](const QString &, const QString &) {});
    window.set_open_sink([](const QString &) {});
    tw::StartOptions options;
    options.import_check = false;
    window.start(options);
    settle(300);
    const char *tax = "5A7E1B90-3C2D-4E8F-9A6B-7C0D1E2F3A4B";
    const char *iso = "9F8E7D6C-5B4A-4938-8271-6A5B4C3D2E1F";
    window.start_operation(tw::library_find_id(&window.library(), iso),
                           tw::OperationKind::CheckCredentials,
                           std::make_shared<tw::OperationInput>());
    settle(300);
    tw::scripted().hold = true;
    const int activity =
        window.start_operation(tw::library_find_id(&window.library(), tax),
                               tw::OperationKind::Convert, std::make_shared<tw::OperationInput>());
    window.on_progress(activity, QStringLiteral("reencoding"), 0.42);
    window.select_entry(QString::fromLatin1(tax));
    for (QAction *action : window.findChildren<QAction *>())
        if (action->isCheckable() && !action->isChecked())
            action->setChecked(true); // the recent-operations pane
    settle(400);
    const QString name = folder + QStringLiteral("/busy-%1.png").arg(language);
    const bool saved = window.grab().save(name);
    printf("%s\n", name.toUtf8().constData());
    tw::scripted().hold = false;
    settle(300);
    return saved;
}

bool shoot(const QString &folder, const QString &language, bool filled) {
    tw::gui_install_translators(*qApp, language);
    const QString library =
        folder + QStringLiteral("/library-%1-%2.json").arg(language, filled ? u"three" : u"empty");
    QFile::remove(library);
    if (filled) {
        QFile file(library);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(kLibrary);
    }
    {
        std::lock_guard lock(tw::scripted().mutex);
        tw::scripted().status = filled ? kStatus : R"({"sessions":[],"warnings":[]})";
    }
    tw::MainWindow window(nullptr, library.toStdString(), tw::scripted_backend());
    window.set_message_sink([](const QString &title, const QString &text) {
        fprintf(stderr, "message: %s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
    });
    window.set_open_sink([](const QString &) {});
    tw::StartOptions options;
    options.import_check = false;
    window.start(options);
    settle(400);
    if (filled)
        window.select_entry(QStringLiteral("0D4C6F2E-9B1A-4C55-8E7A-1F0B6D2C3A41"));
    settle(400);
    const QString name =
        folder + QStringLiteral("/%1-%2.png").arg(filled ? u"three" : u"empty", language);
    const bool saved = window.grab().save(name);
    printf("%s\n", name.toUtf8().constData());
    return saved;
}

} // namespace

int main(int argc, char **argv) {
    char home_pattern[] = "/tmp/tarnwick-screens-home.XXXXXX";
    if (mkdtemp(home_pattern) == nullptr)
        return 1;
    const std::string home = home_pattern;
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    QApplication app(argc, argv);
    QString folder;
    if (argc > 1) {
        folder = QString::fromLocal8Bit(argv[1]);
    } else {
        char pattern[] = "/tmp/tarnwick-screens.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        folder = QString::fromLocal8Bit(pattern);
    }
    QDir().mkpath(folder);
    bool ok = true;
    for (const QString &language : {QStringLiteral("en"), QStringLiteral("uk")})
        for (bool filled : {false, true})
            ok = shoot(folder, language, filled) && ok;
    for (const QString &language : {QStringLiteral("en"), QStringLiteral("uk")})
        ok = shoot_busy(folder, language) && ok;
    QDir(QString::fromStdString(home)).removeRecursively();
    printf("Screenshots in %s\n", folder.toUtf8().constData());
    return ok ? 0 : 1;
}
