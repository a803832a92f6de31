// Mounts a container through the library window with the real client, the
// user's real mount service and whatever broker runs, reads a file through
// the mount, unmounts it again, and prints what it saw as one JSON object.
// The mount test runs it as an unprivileged user.
//
//   tarnwick-gui-mount-check CONTAINER FILE-IN-CONTAINER < PASSWORD
#include "gui/main_window.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

template <typename Condition>
bool wait_for(Condition condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The file's name in any letter case (FAT keeps names in upper case).
QString find_any_case(const QString &folder, const QString &name) {
    for (const QString &entry : QDir(folder).entryList(QDir::Files))
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return folder + u'/' + entry;
    return QString();
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string password;
    std::getline(std::cin, password);
    QApplication app(argc, argv);
    tw::MainWindow window(nullptr, std::string());
    QStringList messages;
    QStringList opened;
    window.set_message_sink(
        [&](const QString &title, const QString &text) { messages << title + u'|' + text; });
    window.set_open_sink([&](const QString &path) { opened << path; });
    tw::JsonValue *report = tw::json_new(tw::JsonKind::Object);

    window.open_paths({argv[1]});
    const tw::JsonValue *entry = window.library().root != nullptr
                                     ? tw::json_first(tw::library_entries(&window.library()))
                                     : nullptr;
    const std::string id = entry != nullptr ? tw::entry_id(entry) : "";
    wait_for([&]() { return window.activity_count() == 0; }, 20000);
    tw::json_set_string(report, "inspected",
                        window
                            .status_text(window.library().root != nullptr
                                             ? tw::library_find_id(&window.library(), id)
                                             : nullptr)
                            .toUtf8()
                            .constData());

    auto input = std::make_shared<tw::OperationInput>();
    input->password = tw::SecureBuffer::with_capacity(password.size() + 1);
    input->password.resize(password.size());
    memcpy(input->password.data(), password.data(), password.size());
    input->read_only = true;
    const int started = window.start_operation(tw::library_find_id(&window.library(), id),
                                               tw::OperationKind::Mount, input);
    tw::json_set_int(report, "started", started);
    wait_for([&]() { return window.activity_count() == 0; }, 60000);
    entry = tw::library_find_id(&window.library(), id);
    tw::json_set_string(report, "mountedStatus", window.status_text(entry).toUtf8().constData());
    tw::json_set_string(report, "opened", opened.join(u'\n').toUtf8().constData());
    if (!window.recent().empty())
        tw::json_set_string(report, "recent", window.recent().front().message.toUtf8().constData());
    if (!opened.isEmpty()) {
        QFile file(find_any_case(opened.front(), QString::fromLocal8Bit(argv[2])));
        if (file.open(QIODevice::ReadOnly))
            tw::json_set_string(report, "content", file.readAll().constData());
    }
    // The window's poll sees the same session.
    window.poll_sessions_now();
    wait_for([&]() { return false; }, 300);
    tw::json_set_int(report, "sessions",
                     static_cast<int64_t>(tw::json_first(window.sessions()) != nullptr));

    window.unmount_entry(entry);
    wait_for([&]() { return window.activity_count() == 0; }, 60000);
    entry = tw::library_find_id(&window.library(), id);
    tw::json_set_string(report, "unmountedStatus", window.status_text(entry).toUtf8().constData());
    if (!window.recent().empty())
        tw::json_set_string(report, "recentAfter",
                            window.recent().front().message.toUtf8().constData());
    tw::json_set_string(report, "messages", messages.join(u'\n').toUtf8().constData());
    char *text = tw::json_serialize(report);
    printf("%s\n", text);
    tw::json_free_text(text);
    tw::json_free(report);
    return 0;
}
