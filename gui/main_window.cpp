#include "gui/main_window.h"

#include "gui/autostart.h"
#include "gui/single_instance.h"
#include "platform/folders.h"
#include "runtime/errors.h"
#include "runtime/mount_preferences.h"
#include "runtime/text.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSessionManager>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cerrno>
#include <chrono>
#include <strings.h>

namespace tw {

struct GuiShell {
    MainWindow *window;
};

struct Activity {
    int id = 0;
    std::string entry_id; // a library entry, or a pseudo id
    JobKind kind = JobKind::Inspect;
    bool existing_entry = true; // progress texts of an existing container
    QString text;
    double fraction = -1;
    bool cancellable = true;
    EngineRunContext ctx;
    std::thread thread;
    MainWindow *window = nullptr;
    // Kept for the result: the container and the output of the operation.
    std::string path;
    std::string output;
    std::string label; // the new entry's file name for creations
};

struct JobResult {
    int rc = 0;
    ClientOutcome out;
    QStringList lines;           // unmount-all failures
    bool remaining = false;      // unmount-all: something is still mounted
    JsonValue *status = nullptr; // a status object that came with the result
    ~JobResult() { json_free(status); }
};

namespace {

constexpr const char kImportRecoverId[] = "import-recover";
constexpr const char kLoginId[] = "login";
constexpr const char kServiceId[] = "service";
constexpr const char kCreationPrefix[] = "create:";

QString qs(const char *text) {
    return QString::fromUtf8(text);
}
QString qs(const std::string &text) {
    return QString::fromStdString(text);
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString activity_base_text(JobKind kind) {
    switch (kind) {
    case JobKind::Inspect:
        return MainWindow::tr("Inspecting");
    case JobKind::Verify:
        return MainWindow::tr("Checking Credentials");
    case JobKind::Rekey:
    case JobKind::Convert:
    case JobKind::Replace:
        return MainWindow::tr("Re-encoding");
    case JobKind::Export:
        return MainWindow::tr("Exporting");
    case JobKind::Create:
    case JobKind::Image:
        return MainWindow::tr("Preparing Filesystem");
    case JobKind::Import:
        return MainWindow::tr("Unlocking VeraCrypt Volume");
    case JobKind::Mount:
        return MainWindow::tr("Mounting");
    case JobKind::Unmount:
    case JobKind::UnmountAllQuit:
        return MainWindow::tr("Unmounting");
    case JobKind::Preferences:
        return MainWindow::tr("Saving Preferences");
    case JobKind::Recover:
        return MainWindow::tr("Recovering Replacement");
    case JobKind::Repair:
        return MainWindow::tr("Checking Filesystem");
    default:
        return QString();
    }
}

// The texts of engine phases, for an existing container and for a new one.
QString phase_text(bool existing_entry, const QString &phase) {
    if (existing_entry) {
        if (phase == u"verifying")
            return MainWindow::tr("Verifying New Container");
        if (phase == u"publishing")
            return MainWindow::tr("Finishing");
        return MainWindow::tr("Re-encoding");
    }
    if (phase == u"imaging")
        return MainWindow::tr("Reading Device");
    if (phase == u"formatting")
        return MainWindow::tr("Preparing Filesystem");
    if (phase == u"importing")
        return MainWindow::tr("Copying VeraCrypt Volume");
    if (phase == u"checking")
        return MainWindow::tr("Checking New Container");
    if (phase == u"initializing")
        return MainWindow::tr("Initializing Encrypted Container");
    if (phase == u"verifying")
        return MainWindow::tr("Verifying New Container");
    return MainWindow::tr("Finishing");
}

const char *engine_command(OperationKind kind) {
    switch (kind) {
    case OperationKind::CheckCredentials:
        return "verify";
    case OperationKind::Export:
        return "export";
    case OperationKind::ChangePassword:
        return "rekey";
    case OperationKind::Convert:
        return "convert";
    case OperationKind::Replace:
        return "replace";
    default:
        return "";
    }
}

JobKind job_kind_of(OperationKind kind) {
    switch (kind) {
    case OperationKind::Mount:
        return JobKind::Mount;
    case OperationKind::CheckCredentials:
        return JobKind::Verify;
    case OperationKind::Export:
        return JobKind::Export;
    case OperationKind::ChangePassword:
        return JobKind::Rekey;
    case OperationKind::Convert:
        return JobKind::Convert;
    case OperationKind::Replace:
        return JobKind::Replace;
    case OperationKind::CheckAndRepair:
        return JobKind::Repair;
    }
    return JobKind::Inspect;
}

QString file_name_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return qs(slash == std::string::npos ? path : path.substr(slash + 1));
}

// "1.5 GiB" and the like, in the locale's number format.
QString byte_size_text(int64_t bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// Where interrupted imports keep their records, for the user to review.
QString import_staging_folder() {
    std::string folder;
    if (user_folder("import-staging", &folder) != 0)
        return QStringLiteral("~/.local/share/Tarnwick/import-staging");
    return qs(folder);
}

// Compares names as people read them: runs of digits by their value,
// everything else case-insensitively (QCollator's numeric mode needs ICU
// and a locale, which a plain session may lack).
int natural_compare(const QString &a, const QString &b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ei++;
            while (ej < b.size() && b[ej].isDigit())
                ej++;
            // Leading zeros do not count; then the longer number is larger.
            qsizetype si = i, sj = j;
            while (si < ei - 1 && a[si] == u'0')
                si++;
            while (sj < ej - 1 && b[sj] == u'0')
                sj++;
            if (ei - si != ej - sj)
                return ei - si < ej - sj ? -1 : 1;
            for (; si < ei; si++, sj++)
                if (a[si] != b[sj])
                    return a[si] < b[sj] ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const QChar ca = a[i].toCaseFolded(), cb = b[j].toCaseFolded();
        if (ca != cb)
            return ca < cb ? -1 : 1;
        i++;
        j++;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return QString::compare(a, b);
}

void progress_callback(void *user, const char *phase, double fraction) {
    auto *activity = static_cast<Activity *>(user);
    const int id = activity->id;
    const QString text = phase != nullptr ? qs(phase) : QString();
    MainWindow *window = activity->window;
    QMetaObject::invokeMethod(
        window, [window, id, text, fraction]() { window->on_progress(id, text, fraction); },
        Qt::QueuedConnection);
}

} // namespace

MainWindow::MainWindow(QWidget *parent, const std::string &library_path, const GuiBackend &backend)
    : QMainWindow(parent), backend_(backend) {
    shell_ = new GuiShell{this};
    sessions_ = json_new(JsonKind::Array);
    std::string path = library_path;
    if (path.empty() && user_folder("library.json", &path) != 0)
        path.clear();
    if (path.empty()) {
        // Without a user root nothing can be saved: the library stays empty
        // and read-only for this run.
        library_load(&library_, "/nonexistent/library.json");
        library_.read_only = true;
        library_.state = LibraryLoadState::Damaged;
    } else {
        library_load(&library_, path);
    }

    setObjectName(QStringLiteral("TarnwickLibrary"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/tarnwick.svg")));
    setAcceptDrops(true);
    build_menus();
    build_toolbar();
    build_body();
    // 1120 × 710 at most, within the screen's work area; Qt scales for DPI.
    QSize size(1120, 710);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        size = size.boundedTo(area.size());
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, area));
    } else {
        resize(size);
    }
    setMinimumSize(QSize(960, 560).boundedTo(size));
    retitle();
    refresh();
    // The desktop session ends: the tray icon goes and the program exits
    // (mounts stay, as on any quit). Refusing to close here would hold up
    // the sign-out.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &) {
        quitting_ = true;
        quit_when_idle_ = true;
        if (tray_ != nullptr)
            tray_->hide();
        QTimer::singleShot(0, this, [this]() {
            if (activities_.empty())
                quit_now();
        });
    });
}

MainWindow::~MainWindow() {
    {
        std::lock_guard lock(poll_mutex_);
        poll_stop_ = true;
    }
    poll_wake_.notify_all();
    if (poll_thread_.joinable())
        poll_thread_.join();
    for (auto &[id, activity] : activities_) {
        engine_cancel(&activity->ctx);
        if (activity->thread.joinable())
            activity->thread.join();
    }
    activities_.clear();
    json_free(sessions_);
    json_free(creation_options_);
    delete shell_;
}

void MainWindow::build_menus() {
    QMenu *file = menuBar()->addMenu(tr("&File"));
    new_action_ = file->addAction(tr("New Container…"), this,
                                  [this]() { dialog_new_container(this, shell_); });
    new_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    image_action_ = file->addAction(tr("Image Removable Device…"), this,
                                    [this]() { dialog_image_device(this, shell_); });
    import_action_ = file->addAction(tr("Import from VeraCrypt…"), this,
                                     [this]() { dialog_import_veracrypt(this, shell_); });
    open_action_ = file->addAction(tr("Open Containers…"), this, [this]() {
        const QStringList files = QFileDialog::getOpenFileNames(
            this, tr("Open Containers"), QString(), tr("ZCX containers (*.zcx);;All files (*)"));
        std::vector<std::string> paths;
        for (const QString &f : files)
            paths.push_back(f.toStdString());
        open_paths(paths);
    });
    open_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    file->addSeparator();
    settings_action_ = file->addAction(tr("Settings…"), this, [this]() {
        settings_open_ = true;
        update_actions();
        dialog_settings(this, shell_);
        settings_open_ = false;
        update_actions();
    });
    file->addAction(
        tr("Important Information, Data Safety and Liability (English)"), this, [this]() {
            std::string path;
            if (program_file_path("DATA-SAFETY.txt", &path) == 0 && QFileInfo::exists(qs(path)))
                open_sink_(qs(path));
            else
                QDesktopServices::openUrl(QUrl(QStringLiteral("https://tarnwick.com/data-safety")));
        });
    file->addSeparator();
    file->addAction(tr("Quit Tarnwick"), this, &MainWindow::request_quit)
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    container_menu_ = menuBar()->addMenu(tr("&Container"));
    struct Item {
        OperationKind kind;
        const char *text;
        QKeySequence key;
    };
    const Item items[] = {
        {OperationKind::Mount, QT_TR_NOOP("Mount…"),
         QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M)},
        {OperationKind::CheckCredentials, QT_TR_NOOP("Check Credentials…"),
         QKeySequence(Qt::CTRL | Qt::Key_K)},
        {OperationKind::ChangePassword, QT_TR_NOOP("Change Password…"), QKeySequence()},
        {OperationKind::Convert, QT_TR_NOOP("Convert Copy…"), QKeySequence()},
        {OperationKind::Replace, QT_TR_NOOP("Re-encrypt at Same Path…"), QKeySequence()},
        {OperationKind::Export, QT_TR_NOOP("Export Decrypted Image…"),
         QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)},
        {OperationKind::CheckAndRepair, QT_TR_NOOP("Check and Repair Filesystem…"), QKeySequence()},
    };
    for (const Item &item : items) {
        QAction *action = new QAction(tr(item.text), this);
        action->setShortcut(item.key);
        const OperationKind kind = item.kind;
        connect(action, &QAction::triggered, this, [this, kind]() { run_operation(kind); });
        operation_actions_[static_cast<int>(kind)] = action;
        if (kind == OperationKind::Mount) {
            container_menu_->addAction(action);
            unmount_action_ = container_menu_->addAction(tr("Unmount"), this, [this]() {
                if (const JsonValue *e = selected_entry())
                    unmount_entry(e);
            });
            unmount_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U));
        } else {
            container_menu_->addAction(action);
        }
        if (kind == OperationKind::Replace) {
            recover_action_ = container_menu_->addAction(tr("Recover Replacement"), this, [this]() {
                if (const JsonValue *e = selected_entry())
                    recover_replacement(e);
            });
        }
    }
    container_menu_->addSeparator();
    show_action_ = container_menu_->addAction(tr("Show in File Manager"), this, [this]() {
        if (const JsonValue *e = selected_entry())
            open_sink_(QFileInfo(qs(entry_path(e))).absolutePath());
    });
    refresh_action_ = new QAction(tr("Refresh"), this);
    refresh_action_->setShortcut(QKeySequence(Qt::Key_F5));
    connect(refresh_action_, &QAction::triggered, this, &MainWindow::refresh_now);
    addAction(refresh_action_);

    message_sink_ = [this](const QString &title, const QString &text) {
        if (isVisible() || tray_ == nullptr || !tray_->isVisible()) {
            QWidget *owner = QApplication::activeModalWidget();
            QMessageBox::information(owner != nullptr ? owner : this, title, text);
        } else {
            tray_->showMessage(title, text);
        }
    };
    open_sink_ = [](const QString &path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
}

void MainWindow::build_toolbar() {
    QToolBar *bar = addToolBar(tr("Toolbar"));
    bar->setObjectName(QStringLiteral("toolbar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    bar->addAction(new_action_);
    QAction *open = bar->addAction(tr("Open"));
    connect(open, &QAction::triggered, open_action_, &QAction::trigger);
    bar->addAction(refresh_action_);
    operations_toggle_ = bar->addAction(tr("Operations"));
    operations_toggle_->setCheckable(true);
    inspector_toggle_ = bar->addAction(tr("Inspector"));
    inspector_toggle_->setCheckable(true);
    inspector_toggle_->setChecked(true);
    QWidget *spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    search_box_ = new QLineEdit(bar);
    search_box_->setPlaceholderText(tr("Search containers"));
    search_box_->setClearButtonEnabled(true);
    search_box_->setMaximumWidth(260);
    bar->addWidget(search_box_);
    connect(search_box_, &QLineEdit::textChanged, this, [this](const QString &text) {
        search_ = text;
        request_refresh();
    });
}

void MainWindow::build_body() {
    auto *split = new QSplitter(Qt::Horizontal, this);

    // Left: filters and captions.
    auto *left = new QWidget(split);
    auto *left_layout = new QVBoxLayout(left);
    filters_ = new QListWidget(left);
    filters_->addItems({tr("All Containers"), tr("Favorites"), tr("Needs Attention")});
    filters_->setCurrentRow(0);
    filters_->setFrameShape(QFrame::NoFrame);
    filters_->setMaximumWidth(220);
    connect(filters_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0)
            set_filter(static_cast<LibraryFilter>(row));
    });
    left_layout->addWidget(filters_, 1);
    auto *caption = new QLabel(tr("Local by design"), left);
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);
    left_layout->addWidget(caption);
    auto *caption_note = new QLabel(tr("Your containers stay on your PC."), left);
    caption_note->setWordWrap(true);
    left_layout->addWidget(caption_note);
    left->setMaximumWidth(230);

    // Middle: the list (or the empty view) above the recent operations.
    auto *middle = new QSplitter(Qt::Vertical, split);
    list_stack_ = new QStackedWidget(middle);
    list_ = new QTreeWidget(list_stack_);
    list_->setHeaderLabels({tr("Name"), tr("Size"), tr("Status"), tr("Filesystem")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    // The name takes the room left; the other columns fit their texts (in
    // every language).
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; column++)
        list_->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    // Room between the columns' texts.
    list_->setStyleSheet(QStringLiteral("QTreeView::item { padding-right: 14px; }"));
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) {
        if (item != nullptr)
            selected_id_ = item->data(0, Qt::UserRole).toString();
        request_refresh();
    });
    connect(list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *) {
        const JsonValue *e = selected_entry();
        if (e == nullptr)
            return;
        const JsonValue *session = session_for_path(entry_path(e));
        if (session != nullptr && qs(json_get_string(session, "phase", "")) == u"mounted")
            open_sink_(qs(json_get_string(session, "mountPoint", "")));
        else
            run_operation(OperationKind::Mount);
    });
    connect(list_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        const JsonValue *e = selected_entry();
        if (e == nullptr)
            return;
        QMenu menu(this);
        const JsonValue *session = session_for_path(entry_path(e));
        const std::string id = entry_id(e);
        if (session != nullptr) {
            const QString phase = qs(json_get_string(session, "phase", ""));
            if (phase == u"mounted")
                menu.addAction(tr("Open in File Manager"), this, [this, session]() {
                    open_sink_(qs(json_get_string(session, "mountPoint", "")));
                });
            QAction *action = menu.addAction(phase == u"mounted"       ? tr("Unmount")
                                             : phase == u"writeFailed" ? tr("Dismiss Write Error")
                                                                       : tr("Retry Cleanup"),
                                             this, [this, id]() {
                                                 if (const JsonValue *entry = entry_by_id(id))
                                                     unmount_entry(entry);
                                             });
            action->setEnabled(activity_for_entry(id) == nullptr && !quitting_);
        } else {
            menu.addAction(operation_actions_[static_cast<int>(OperationKind::Mount)]);
        }
        for (auto &[kind, action] : operation_actions_)
            if (kind != static_cast<int>(OperationKind::Mount))
                menu.addAction(action);
        if (entry_info_flag(e, "recoveryRequired") &&
            !entry_info_flag(e, "recoveryCopyAvailable") &&
            !entry_info_flag(e, "writeSessionRecovery"))
            menu.addAction(recover_action_);
        menu.addSeparator();
        menu.addAction(json_get_bool(e, "favorite", false) ? tr("Remove Favorite")
                                                           : tr("Add Favorite"),
                       this,
                       [this, id]() {
                           if (const JsonValue *entry = entry_by_id(id))
                               toggle_favorite(entry);
                       })
            ->setEnabled(!library_.read_only);
        menu.addAction(show_action_);
        menu.addAction(tr("Remove from Library"), this,
                       [this, id]() {
                           if (const JsonValue *entry = entry_by_id(id))
                               remove_entry(entry);
                       })
            ->setEnabled(!library_.read_only && session == nullptr &&
                         activity_for_entry(id) == nullptr);
        menu.exec(list_->viewport()->mapToGlobal(at));
    });
    list_stack_->addWidget(list_);

    // The empty library.
    auto *empty = new QWidget(list_stack_);
    auto *empty_layout = new QVBoxLayout(empty);
    empty_layout->addStretch(1);
    auto *empty_title = new QLabel(tr("Your Containers"), empty);
    QFont title_font = empty_title->font();
    title_font.setPointSizeF(title_font.pointSizeF() * 1.6);
    title_font.setBold(true);
    empty_title->setFont(title_font);
    empty_title->setAlignment(Qt::AlignCenter);
    empty_layout->addWidget(empty_title);
    auto *empty_text = new QLabel(
        tr("Open a ZCX container to mount it and browse its files in the file manager."), empty);
    empty_text->setAlignment(Qt::AlignCenter);
    empty_text->setWordWrap(true);
    // A short line reads better than one across the whole list.
    empty_text->setMaximumWidth(440);
    auto *text_row = new QHBoxLayout();
    text_row->addStretch(1);
    text_row->addWidget(empty_text, 4);
    text_row->addStretch(1);
    empty_layout->addLayout(text_row);
    auto *buttons = new QHBoxLayout();
    buttons->addStretch(1);
    auto *empty_new = new QPushButton(tr("New Container…"), empty);
    connect(empty_new, &QPushButton::clicked, new_action_, &QAction::trigger);
    auto *empty_open = new QPushButton(tr("Open Containers…"), empty);
    connect(empty_open, &QPushButton::clicked, open_action_, &QAction::trigger);
    buttons->addWidget(empty_new);
    buttons->addWidget(empty_open);
    buttons->addStretch(1);
    empty_layout->addLayout(buttons);
    empty_layout->addStretch(2);
    list_stack_->addWidget(empty);

    // Recent operations.
    recent_pane_ = new QWidget(middle);
    auto *recent_layout = new QVBoxLayout(recent_pane_);
    recent_layout->setContentsMargins(0, 4, 0, 0);
    auto *recent_head = new QHBoxLayout();
    auto *recent_title = new QLabel(tr("Recent Operations"), recent_pane_);
    recent_title->setFont(bold);
    recent_head->addWidget(recent_title);
    recent_head->addStretch(1);
    auto *recent_close = new QToolButton(recent_pane_);
    recent_close->setText(QStringLiteral("✕"));
    recent_close->setAutoRaise(true);
    connect(recent_close, &QToolButton::clicked, operations_toggle_, &QAction::trigger);
    recent_head->addWidget(recent_close);
    recent_layout->addLayout(recent_head);
    recent_list_ = new QTreeWidget(recent_pane_);
    recent_list_->setHeaderHidden(true);
    recent_list_->setColumnCount(2);
    recent_list_->setRootIsDecorated(false);
    recent_list_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    recent_list_->setColumnWidth(0, 240);
    connect(recent_list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        const QString path = item->data(0, Qt::UserRole).toString();
        if (!path.isEmpty())
            open_sink_(QFileInfo(path).absolutePath());
    });
    recent_layout->addWidget(recent_list_);
    recent_pane_->setVisible(false);
    connect(operations_toggle_, &QAction::toggled, recent_pane_, &QWidget::setVisible);
    middle->setStretchFactor(0, 3);
    middle->setStretchFactor(1, 1);

    // Right: the details pane.
    auto *scroll = new QScrollArea(split);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(300);
    // The pane's texts wrap to its width; it only ever scrolls down.
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    details_ = new QWidget(scroll);
    details_layout_ = new QVBoxLayout(details_);
    scroll->setWidget(details_);
    details_pane_ = scroll;
    connect(inspector_toggle_, &QAction::toggled, scroll, &QWidget::setVisible);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 2);
    split->setSizes({200, 560, 360});
    setCentralWidget(split);

    count_label_ = new QLabel(statusBar());
    statusBar()->addWidget(count_label_);
    service_label_ = new QToolButton(statusBar());
    service_label_->setAutoRaise(true);
    statusBar()->addWidget(service_label_);
    connect(service_label_, &QToolButton::clicked, this, [this]() {
        if (service_update_available_ && service_reached_ && service_warning_.isEmpty())
            settings_action_->trigger();
    });
}

void MainWindow::build_tray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(QStringLiteral("Tarnwick Pro"));
    tray_menu_ = new QMenu(this);
    connect(tray_menu_, &QMenu::aboutToShow, this, &MainWindow::fill_tray_menu);
    fill_tray_menu();
    tray_->setContextMenu(tray_menu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    showNormal();
                    raise();
                    activateWindow();
                }
            });
    tray_->show();
}

void MainWindow::retitle() {
    const QString filter = filter_ == LibraryFilter::Favorites        ? tr("Favorites")
                           : filter_ == LibraryFilter::NeedsAttention ? tr("Needs Attention")
                                                                      : tr("All Containers");
    setWindowTitle(tr("%1 — %2").arg(QStringLiteral("Tarnwick Pro"), filter));
}

// ---- Start ----

void MainWindow::start(const StartOptions &options) {
    started_ = true;
    build_tray();
    if (!options.login)
        show();
    refresh();
    if (options.import_check && !library_.read_only) {
        start_job(JobKind::ImportRecover, kImportRecoverId, false,
                  [backend = backend_](Activity *a, JobResult *r) {
                      const std::string args[] = {"import-recover"};
                      r->rc = backend.run(&a->ctx, std::span<const std::string>(args),
                                          std::span<const uint8_t>(), &r->out);
                  });
    }
    show_library_load_message();
    poll_thread_ = std::thread([this]() { poll_loop(); });
    open_paths(options.paths);
    if (options.login)
        start_sign_in_mounting();
}

void MainWindow::show_library_load_message() {
    if (library_.state == LibraryLoadState::Loaded)
        return;
    const QString reason = library_.state == LibraryLoadState::TooNew
                               ? tr("This library needs a newer Tarnwick version.")
                               : tr("The library file could not be read.");
    show_message(tr("Library Could Not Be Opened"),
                 reason + QStringLiteral("\n\n") +
                     tr("Your library file has been left unchanged."));
}

void MainWindow::show_message(const QString &title, const QString &text) {
    message_sink_(title, text);
}

void MainWindow::set_poll_may_start(bool may_start) {
    std::lock_guard lock(poll_mutex_);
    poll_may_start_ = may_start;
}

void MainWindow::open_paths(const std::vector<std::string> &paths) {
    if (paths.empty())
        return;
    if (library_.read_only)
        return;
    QString last;
    bool changed = false;
    for (const std::string &given : paths) {
        JsonValue *entry = nullptr;
        bool added = false;
        const int rc = library_open_path(&library_, given, &entry, &added);
        if (rc == -EISDIR || rc == -EINVAL || rc != 0)
            continue;
        changed = true;
        last = qs(entry_id(entry));
        if (added)
            inspect_entry(entry_id(entry));
    }
    if (!changed)
        return;
    save_library();
    if (!last.isEmpty())
        select_entry(last);
    refresh();
}

void MainWindow::handle_hand_off(uint32_t identifier, const QByteArray &data, bool *accepted) {
    if (identifier == kHandOffSignIn) {
        *accepted = true;
        QTimer::singleShot(0, this, &MainWindow::start_sign_in_mounting);
        return;
    }
    if (identifier != kHandOffPaths)
        return;
    std::vector<std::string> paths;
    if (!hand_off_decode_paths(data, &paths))
        return;
    *accepted = true;
    // Answered first: opening may show messages, and the other start waits.
    QTimer::singleShot(0, this, [this, paths]() {
        open_paths(paths);
        showNormal();
        raise();
        activateWindow();
    });
}

void MainWindow::closeEvent(QCloseEvent *event) {
    if (quitting_ && (activities_.empty() || quit_when_idle_)) {
        event->accept();
        return;
    }
    event->ignore();
    if (tray_ != nullptr && tray_->isVisible()) {
        hide();
        return;
    }
    // Without a notification area the window is the only way back: it
    // quits when nothing is mounted and otherwise only minimises.
    bool mounted = false;
    for (const JsonValue *s = json_first(sessions_); s != nullptr; s = json_next(s))
        mounted = true;
    if (mounted) {
        showMinimized();
    } else if (activities_.empty()) {
        quitting_ = true;
        event->accept();
        QCoreApplication::quit();
    } else {
        // Asks about the running operations once this close is over.
        QTimer::singleShot(0, this, &MainWindow::request_quit);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event) {
    std::vector<std::string> paths;
    for (const QUrl &url : event->mimeData()->urls())
        if (url.isLocalFile() && paths.size() < kHandOffPathLimit)
            paths.push_back(url.toLocalFile().toStdString());
    event->acceptProposedAction();
    open_paths(paths);
}

// ---- Library ----

JsonValue *MainWindow::entry_by_id(const std::string &id) const {
    return library_find_id(&library_, id);
}

void MainWindow::save_library() {
    if (library_.read_only)
        return;
    if (int rc = library_save(&library_); rc != 0)
        show_message(tr("Library Could Not Be Saved"), qs(error_text(rc)));
}

void MainWindow::record(const QString &file_name, const QString &message, bool succeeded,
                        const QString &path) {
    recent_.push_front(RecentOperation{file_name, message, succeeded, path});
    while (recent_.size() > kRecentLimit)
        recent_.pop_back();
    rebuild_recent();
}

const JsonValue *MainWindow::session_for_path(const char *path) const {
    for (const JsonValue *s = json_first(sessions_); s != nullptr; s = json_next(s))
        if (paths_equal(json_get_string(s, "path", ""), path))
            return s;
    return nullptr;
}

const JsonValue *MainWindow::selected_entry() const {
    return selected_id_.isEmpty() ? nullptr : entry_by_id(selected_id_.toStdString());
}

void MainWindow::select_entry(const QString &id) {
    selected_id_ = id;
    list_signature_.clear();
    refresh();
}

void MainWindow::set_filter(LibraryFilter filter) {
    filter_ = filter;
    if (filters_->currentRow() != static_cast<int>(filter))
        filters_->setCurrentRow(static_cast<int>(filter));
    retitle();
    request_refresh();
}

void MainWindow::set_search(const QString &text) {
    search_box_->setText(text);
}

Activity *MainWindow::activity_for_entry(const std::string &entry_id) const {
    for (const auto &[id, activity] : activities_)
        if (strcasecmp(activity->entry_id.c_str(), entry_id.c_str()) == 0)
            return activity.get();
    return nullptr;
}

int MainWindow::activity_id_for_entry(const std::string &entry_id) const {
    const Activity *a = activity_for_entry(entry_id);
    return a != nullptr ? a->id : 0;
}

bool MainWindow::needs_attention(const JsonValue *entry) const {
    if (json_has(entry, "lastError", JsonKind::String) ||
        entry_info_flag(entry, "recoveryRequired"))
        return true;
    const JsonValue *session = session_for_path(entry_path(entry));
    return session != nullptr && qs(json_get_string(session, "phase", "")) != u"mounted";
}

QString MainWindow::status_text(const JsonValue *entry) const {
    if (const Activity *a = activity_for_entry(entry_id(entry)))
        return a->text;
    const JsonValue *session = session_for_path(entry_path(entry));
    if (session != nullptr && qs(json_get_string(session, "phase", "")) == u"mounted")
        return json_get_bool(session, "writable", false) ? tr("Mounted read-write")
                                                         : tr("Mounted read-only");
    if (session != nullptr || entry_info_flag(entry, "recoveryRequired"))
        return tr("Recovery needed");
    if (json_has(entry, "lastError", JsonKind::String))
        return tr("Needs attention");
    if (entry_info_flag(entry, "verified"))
        return tr("Checked");
    return tr("Not checked");
}

std::vector<JsonValue *> MainWindow::shown_entries() const {
    std::vector<JsonValue *> shown;
    for (JsonValue *e = json_first(library_entries(&library_)); e != nullptr; e = json_next(e)) {
        if (filter_ == LibraryFilter::Favorites && !json_get_bool(e, "favorite", false))
            continue;
        if (filter_ == LibraryFilter::NeedsAttention && !needs_attention(e))
            continue;
        if (!search_.isEmpty() && !qs(entry_file_name(e)).contains(search_, Qt::CaseInsensitive))
            continue;
        shown.push_back(e);
    }
    // File names in the order people expect: case-insensitive, digits by
    // their value ("disk 2" before "disk 10").
    std::stable_sort(shown.begin(), shown.end(), [](const JsonValue *a, const JsonValue *b) {
        return natural_compare(qs(entry_file_name(a)), qs(entry_file_name(b))) < 0;
    });
    return shown;
}

QStringList MainWindow::shown_names() const {
    QStringList names;
    for (int i = 0; i < list_->topLevelItemCount(); i++)
        names << list_->topLevelItem(i)->text(0);
    return names;
}

// ---- Refreshing the window ----

void MainWindow::request_refresh() {
    // Requests coalesce: one refresh runs for any number queued.
    if (refresh_pending_)
        return;
    refresh_pending_ = true;
    QTimer::singleShot(0, this, &MainWindow::refresh);
}

void MainWindow::refresh() {
    refresh_pending_ = false;
    rebuild_list();
    rebuild_details();
    update_status_bar();
    update_actions();
}

void MainWindow::rebuild_list() {
    const std::vector<JsonValue *> shown = shown_entries();
    QString signature;
    for (const JsonValue *e : shown) {
        const JsonValue *info = entry_info(e);
        signature += QStringLiteral("%1|%2|%3|%4|%5|%6;")
                         .arg(qs(entry_id(e)))
                         .arg(json_get_bool(e, "favorite", false) ? 1 : 0)
                         .arg(qs(entry_path(e)))
                         .arg(json_get_int(info, "size", -1))
                         .arg(qs(json_get_string(info, "filesystem", "")))
                         .arg(status_text(e));
    }
    list_stack_->setCurrentIndex(library_size(&library_) == 0 ? 1 : 0);
    if (signature == list_signature_)
        return;
    list_signature_ = signature;
    const QIcon disk = style()->standardIcon(QStyle::SP_DriveHDIcon);
    const QIcon cd = style()->standardIcon(QStyle::SP_DriveCDIcon);
    QSignalBlocker block(list_);
    list_->clear();
    QTreeWidgetItem *selected = nullptr;
    for (const JsonValue *e : shown) {
        const JsonValue *info = entry_info(e);
        QString name = qs(entry_file_name(e));
        if (json_get_bool(e, "favorite", false))
            name += QStringLiteral(" ★");
        const int64_t size = json_get_int(info, "size", -1);
        const bool verified = json_get_bool(info, "verified", false);
        auto *item = new QTreeWidgetItem(
            list_, {name, size >= 0 ? byte_size_text(size) : QString(), status_text(e),
                    verified ? qs(json_get_string(info, "filesystem", "")) : QString()});
        item->setIcon(0, json_get_bool(info, "isCD", false) ? cd : disk);
        item->setToolTip(0, qs(entry_path(e)));
        item->setData(0, Qt::UserRole, qs(entry_id(e)));
        if (qs(entry_id(e)).compare(selected_id_, Qt::CaseInsensitive) == 0)
            selected = item;
    }
    if (selected != nullptr) {
        list_->setCurrentItem(selected);
        list_->scrollToItem(selected);
    }
}

void MainWindow::rebuild_details() {
    const JsonValue *e = selected_entry();
    const Activity *activity = e != nullptr ? activity_for_entry(entry_id(e)) : nullptr;
    const JsonValue *session = e != nullptr ? session_for_path(entry_path(e)) : nullptr;
    char *entry_text = e != nullptr ? json_serialize(e) : nullptr;
    char *session_text = session != nullptr ? json_serialize(session) : nullptr;
    const QString signature =
        QStringLiteral("%1|%2|%3|%4|%5|%6")
            .arg(qs(entry_text != nullptr ? entry_text : ""),
                 qs(session_text != nullptr ? session_text : ""),
                 activity != nullptr ? activity->text : QString())
            .arg(activity != nullptr && activity->cancellable ? 1 : 0)
            .arg(activity != nullptr && activity->ctx.cancel_requested.load() ? 1 : 0)
            .arg(library_.read_only ? 1 : 0);
    json_free_text(entry_text);
    json_free_text(session_text);
    if (details_progress_ != nullptr && activity != nullptr) {
        details_progress_->setRange(0, activity->fraction < 0 ? 0 : 1000);
        details_progress_->setValue(
            activity->fraction < 0 ? 0 : static_cast<int>(activity->fraction * 1000));
    }
    if (signature == details_signature_)
        return;
    details_signature_ = signature;

    // Rebuilt from scratch: the pane is small and changes rarely.
    auto *scroll = static_cast<QScrollArea *>(details_pane_);
    if (QWidget *old = scroll->takeWidget())
        old->deleteLater(); // its buttons may be running the click that got here
    details_ = new QWidget();
    details_layout_ = new QVBoxLayout(details_);
    details_progress_ = nullptr;
    details_cancel_ = nullptr;
    scroll->setWidget(details_);

    auto heading = [this](const QString &text, double scale) {
        // Sections stand apart from what precedes them.
        if (details_layout_->count() > 0)
            details_layout_->addSpacing(10);
        auto *label = new QLabel(text, details_);
        QFont font = label->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * scale);
        label->setFont(font);
        label->setWordWrap(true);
        details_layout_->addWidget(label);
        return label;
    };
    auto note = [this](const QString &text) {
        auto *label = new QLabel(text, details_);
        label->setWordWrap(true);
        details_layout_->addWidget(label);
        return label;
    };
    if (e == nullptr) {
        heading(tr("Select a Container"), 1.3);
        note(tr("Its details and available actions appear here."));
        details_layout_->addStretch(1);
        return;
    }
    const std::string id = entry_id(e);
    const JsonValue *info = entry_info(e);
    heading(qs(entry_file_name(e)), 1.3)->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note(status_text(e));
    if (activity != nullptr) {
        auto *row = new QHBoxLayout();
        details_progress_ = new QProgressBar(details_);
        details_progress_->setTextVisible(false);
        details_progress_->setRange(0, activity->fraction < 0 ? 0 : 1000);
        details_progress_->setValue(
            activity->fraction < 0 ? 0 : static_cast<int>(activity->fraction * 1000));
        row->addWidget(details_progress_, 1);
        const bool cancelling = activity->ctx.cancel_requested.load();
        details_cancel_ = new QPushButton(cancelling ? tr("Cancelling") : tr("Cancel"), details_);
        details_cancel_->setEnabled(activity->cancellable && !cancelling);
        const int activity_id = activity->id;
        connect(details_cancel_, &QPushButton::clicked, this,
                [this, activity_id]() { cancel_activity(activity_id); });
        row->addWidget(details_cancel_);
        details_layout_->addLayout(row);
    }
    auto *actions = new QHBoxLayout();
    const QString phase =
        session != nullptr ? qs(json_get_string(session, "phase", "")) : QString();
    if (session == nullptr) {
        auto *mount = new QPushButton(tr("Mount…"), details_);
        mount->setEnabled(entry_allows(e, OperationKind::Mount));
        connect(mount, &QPushButton::clicked, this,
                [this]() { run_operation(OperationKind::Mount); });
        actions->addWidget(mount);
    } else {
        auto *action = new QPushButton(phase == u"mounted"       ? tr("Unmount")
                                       : phase == u"writeFailed" ? tr("Dismiss Write Error")
                                                                 : tr("Retry Cleanup"),
                                       details_);
        action->setEnabled(activity == nullptr && !quitting_);
        connect(action, &QPushButton::clicked, this, [this, id]() {
            if (const JsonValue *entry = entry_by_id(id))
                unmount_entry(entry);
        });
        actions->addWidget(action);
    }
    auto *open = new QPushButton(tr("Open in File Manager"), details_);
    open->setEnabled(phase == u"mounted");
    const QString mount_point =
        session != nullptr ? qs(json_get_string(session, "mountPoint", "")) : QString();
    connect(open, &QPushButton::clicked, this, [this, mount_point]() { open_sink_(mount_point); });
    actions->addWidget(open);
    actions->addStretch(1);
    details_layout_->addLayout(actions);

    const QString error = session != nullptr && json_has(session, "message", JsonKind::String)
                              ? qs(json_get_string(session, "message", ""))
                              : qs(json_get_string(e, "lastError", ""));
    if (!error.isEmpty())
        note(error)->setStyleSheet(QStringLiteral("color: #b3261e;"));
    if (session != nullptr && json_has(session, "idleMessage", JsonKind::String))
        note(qs(json_get_string(session, "idleMessage", "")));
    if (entry_info_flag(e, "recoveryRequired")) {
        QString notice;
        if (entry_info_flag(e, "writeSessionRecovery"))
            notice = tr("An unfinished write session was detected. Mount the container read-only "
                        "to copy files, or use Check and Repair before writing to it.");
        else if (entry_info_flag(e, "recoveryCopyAvailable"))
            notice = tr("A recovery checkpoint is damaged. Create a verified encrypted copy "
                        "before mounting. The original stays unchanged.");
        else
            notice = tr("An unfinished conversion was detected. Keep the container and its "
                        "recovery files together. Checking and export are blocked.");
        note(notice)->setStyleSheet(QStringLiteral("color: #8a5a00;"));
    }

    heading(tr("Container Details"), 1.0);
    auto *form = new QFormLayout();
    form->setLabelAlignment(Qt::AlignLeft);
    const QString none = QStringLiteral("—");
    const int64_t size = json_get_int(info, "size", -1);
    const int64_t used = json_get_int(info, "allocatedSize", -1);
    form->addRow(tr("Size"), new QLabel(size >= 0 ? byte_size_text(size) : none, details_));
    form->addRow(tr("Storage Used"), new QLabel(used >= 0 ? byte_size_text(used) : none, details_));
    const QString compression = qs(json_get_string(info, "compression", ""));
    form->addRow(tr("Compression"),
                 new QLabel(compression == u"fast" ? tr("Fast (LZ4)") : tr("Off"), details_));
    form->addRow(
        tr("Encryption Algorithm"),
        new QLabel(info != nullptr ? qs(json_get_string(info, "cipher", "")) : none, details_));
    form->addRow(tr("Filesystem"), new QLabel(json_get_bool(info, "verified", false)
                                                  ? qs(json_get_string(info, "filesystem", ""))
                                                  : none,
                                              details_));
    const int64_t checked = json_get_int(e, "lastChecked", -1);
    form->addRow(tr("Last Checked"),
                 new QLabel(checked >= 0 ? QLocale().toString(
                                               QDateTime::fromSecsSinceEpoch(checked + 978307200),
                                               QLocale::ShortFormat)
                                         : none,
                            details_));
    details_layout_->addLayout(form);

    heading(tr("Mount Preferences"), 1.0);
    details_layout_->addWidget(dialog_mount_preferences(details_, shell_, e, session));

    heading(tr("Location"), 1.0);
    auto *location = note(qs(entry_path(e)));
    location->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *location_row = new QHBoxLayout();
    auto *show = new QPushButton(tr("Show in File Manager"), details_);
    connect(show, &QPushButton::clicked, show_action_, &QAction::trigger);
    location_row->addWidget(show);
    auto *locate = new QPushButton(tr("Locate…"), details_);
    locate->setEnabled(entry_is_free(e));
    connect(locate, &QPushButton::clicked, this, [this, id]() {
        JsonValue *entry = entry_by_id(id);
        if (entry == nullptr)
            return;
        const QString chosen = QFileDialog::getOpenFileName(
            this, tr("Locate…"), QFileInfo(qs(entry_path(entry))).absolutePath(),
            tr("ZCX containers (*.zcx);;All files (*)"));
        entry = entry_by_id(id);
        if (chosen.isEmpty() || entry == nullptr)
            return;
        std::string path;
        if (library_final_path(chosen.toStdString(), &path) != 0)
            return;
        if (JsonValue *other = library_find_path(&library_, path);
            other != nullptr && other != entry) {
            select_entry(qs(entry_id(other)));
            return;
        }
        json_set_string(entry, "path", path.c_str());
        json_remove(entry, "info");
        save_library();
        inspect_entry(id);
        refresh();
    });
    location_row->addWidget(locate);
    location_row->addStretch(1);
    details_layout_->addLayout(location_row);

    auto *bottom = new QHBoxLayout();
    auto *favorite = new QPushButton(
        json_get_bool(e, "favorite", false) ? tr("Remove Favorite") : tr("Add Favorite"), details_);
    favorite->setEnabled(!library_.read_only);
    connect(favorite, &QPushButton::clicked, this, [this, id]() {
        if (const JsonValue *entry = entry_by_id(id))
            toggle_favorite(entry);
    });
    bottom->addWidget(favorite);
    auto *remove = new QPushButton(tr("Remove from Library"), details_);
    remove->setEnabled(!library_.read_only && session == nullptr && activity == nullptr);
    connect(remove, &QPushButton::clicked, this, [this, id]() {
        if (const JsonValue *entry = entry_by_id(id))
            remove_entry(entry);
    });
    bottom->addWidget(remove);
    bottom->addStretch(1);
    details_layout_->addLayout(bottom);
    note(tr("Mounts open in the file manager. Closing Tarnwick keeps them mounted; use Unmount "
            "when finished."))
        ->setStyleSheet(QStringLiteral("color: palette(mid);"));
    details_layout_->addStretch(1);
}

QString MainWindow::service_status_text() const {
    // Until the first answer nothing is known to be wrong.
    if (!service_warning_.isEmpty())
        return tr("Mount service unavailable");
    if (service_update_available_)
        return tr("Mount service update available");
    return tr("Mount Preview");
}

void MainWindow::update_status_bar() {
    const int count = static_cast<int>(library_size(&library_));
    count_label_->setText(tr("%n containers", nullptr, count));
    service_label_->setText(service_status_text());
    service_label_->setToolTip(service_warning_);
}

bool MainWindow::entry_is_free(const JsonValue *entry) const {
    return entry != nullptr && !library_.read_only && !quitting_ && !restarting_service_ &&
           activity_for_entry(entry_id(entry)) == nullptr &&
           session_for_path(entry_path(entry)) == nullptr;
}

bool MainWindow::entry_allows(const JsonValue *entry, OperationKind kind) const {
    if (!entry_is_free(entry))
        return false;
    const bool recovery = entry_info_flag(entry, "recoveryRequired");
    switch (kind) {
    case OperationKind::Mount:
        return !recovery || entry_info_flag(entry, "writeSessionRecovery");
    case OperationKind::CheckAndRepair:
        if (entry_info_flag(entry, "isCD"))
            return false;
        if (entry_info_flag(entry, "verified") && !entry_info_flag(entry, "writeSupported"))
            return false;
        return !recovery || entry_info_flag(entry, "writeSessionRecovery");
    case OperationKind::ChangePassword:
    case OperationKind::Replace:
        if (entry_info_flag(entry, "plaintext"))
            return false;
        [[fallthrough]];
    case OperationKind::CheckCredentials:
    case OperationKind::Export:
    case OperationKind::Convert:
        return !recovery || entry_info_flag(entry, "recoveryCopyAvailable");
    }
    return false;
}

bool MainWindow::can_create() const {
    return !library_.read_only && !quitting_ && !restarting_service_ && !settings_open_;
}

void MainWindow::update_actions() {
    const JsonValue *e = selected_entry();
    for (auto &[kind, action] : operation_actions_)
        action->setEnabled(entry_allows(e, static_cast<OperationKind>(kind)));
    if (QAction *change = operation_actions_[static_cast<int>(OperationKind::ChangePassword)])
        change->setText(entry_info_flag(e, "recoveryCopyAvailable") ? tr("Create Recovery Copy…")
                                                                    : tr("Change Password…"));
    const JsonValue *session = e != nullptr ? session_for_path(entry_path(e)) : nullptr;
    unmount_action_->setEnabled(session != nullptr && !quitting_ &&
                                activity_for_entry(entry_id(e)) == nullptr);
    recover_action_->setEnabled(entry_is_free(e) && entry_info_flag(e, "recoveryRequired") &&
                                !entry_info_flag(e, "recoveryCopyAvailable") &&
                                !entry_info_flag(e, "writeSessionRecovery"));
    show_action_->setEnabled(e != nullptr);
    const bool can_create =
        !library_.read_only && !quitting_ && !restarting_service_ && !settings_open_;
    new_action_->setEnabled(can_create);
    image_action_->setEnabled(can_create);
    import_action_->setEnabled(can_create);
    open_action_->setEnabled(!library_.read_only);
}

void MainWindow::rebuild_recent() {
    recent_list_->clear();
    size_t shown = 0;
    for (const RecentOperation &r : recent_) {
        if (shown++ == kRecentShown)
            break;
        auto *item = new QTreeWidgetItem(
            recent_list_,
            {(r.succeeded ? QStringLiteral("✔ ") : QStringLiteral("⚠ ")) + r.file_name, r.message});
        item->setData(0, Qt::UserRole, r.path);
        item->setToolTip(1, r.message);
    }
}

void MainWindow::fill_tray_menu() {
    if (tray_menu_ == nullptr)
        return;
    tray_menu_->clear();
    tray_menu_->addAction(tr("Show Tarnwick"), this, [this]() {
        showNormal();
        raise();
        activateWindow();
    });
    tray_menu_->addAction(new_action_);
    tray_menu_->addAction(open_action_);
    // The five entries opened or added last.
    std::vector<const JsonValue *> entries;
    for (const JsonValue *e = json_first(library_entries(&library_)); e != nullptr;
         e = json_next(e))
        entries.push_back(e);
    std::stable_sort(entries.begin(), entries.end(), [](const JsonValue *a, const JsonValue *b) {
        return std::max(json_get_int(a, "lastOpened", 0), json_get_int(a, "added", 0)) >
               std::max(json_get_int(b, "lastOpened", 0), json_get_int(b, "added", 0));
    });
    if (!entries.empty())
        tray_menu_->addSeparator();
    for (size_t i = 0; i < entries.size() && i < 5; i++) {
        const QString id = qs(entry_id(entries[i]));
        tray_menu_->addAction(qs(entry_file_name(entries[i])), this, [this, id]() {
            showNormal();
            raise();
            activateWindow();
            set_filter(LibraryFilter::All);
            select_entry(id);
        });
    }
    int count = 0;
    bool separated = false;
    for (const JsonValue *s = json_first(sessions_); s != nullptr && count < 16;
         s = json_next(s), count++) {
        if (!separated) {
            tray_menu_->addSeparator();
            separated = true;
        }
        const QString name = file_name_of(json_get_string(s, "path", ""));
        const QString phase = qs(json_get_string(s, "phase", ""));
        const QString mount_point = qs(json_get_string(s, "mountPoint", ""));
        tray_menu_
            ->addAction(tr("%1 · %2").arg(name, tr("Open in File Manager")), this,
                        [this, mount_point]() { open_sink_(mount_point); })
            ->setEnabled(phase == u"mounted");
        if (const JsonValue *e = library_find_path(&library_, json_get_string(s, "path", ""))) {
            const std::string id = entry_id(e);
            const QString action = phase == u"mounted"       ? tr("Unmount")
                                   : phase == u"writeFailed" ? tr("Dismiss Write Error")
                                                             : tr("Retry Cleanup");
            tray_menu_
                ->addAction(tr("%1 · %2").arg(name, action), this,
                            [this, id]() {
                                if (const JsonValue *entry = entry_by_id(id))
                                    unmount_entry(entry);
                            })
                ->setEnabled(activity_for_entry(id) == nullptr && !quitting_);
        }
    }
    tray_menu_->addSeparator();
    tray_menu_->addAction(tr("Unmount All and Quit"), this, &MainWindow::unmount_all_and_quit)
        ->setEnabled(activities_.empty() && !quitting_);
    tray_menu_->addAction(settings_action_);
    tray_menu_->addAction(tr("Quit Tarnwick"), this, &MainWindow::request_quit);
}

// ---- Jobs ----

void MainWindow::too_many_operations() {
    const int64_t now = now_ms();
    if (last_too_many_ms_ >= 0 && now - last_too_many_ms_ < 5000)
        return;
    last_too_many_ms_ = now;
    show_message(tr("Too Many Operations"), tr("Wait for an operation to finish, then try again."));
}

int MainWindow::start_job(JobKind kind, const std::string &entry_id, bool existing_entry,
                          Work work) {
    if (activity_for_entry(entry_id) != nullptr)
        return -EBUSY; // one activity per entry; refused without a word
    if (activities_.size() >= kActivityLimit) {
        too_many_operations();
        return -EAGAIN;
    }
    auto activity = std::make_unique<Activity>();
    Activity *a = activity.get();
    a->id = next_activity_id_++;
    a->entry_id = entry_id;
    a->kind = kind;
    a->existing_entry = existing_entry;
    a->text = activity_base_text(kind);
    a->window = this;
    a->ctx.progress = progress_callback;
    a->ctx.progress_user = a;
    activities_[a->id] = std::move(activity);
    const int id = a->id;
    a->thread = std::thread([this, a, id, work = std::move(work)]() {
        auto result = std::make_shared<JobResult>();
        work(a, result.get());
        QMetaObject::invokeMethod(
            this, [this, id, result]() { on_job_finished(id, result); }, Qt::QueuedConnection);
    });
    request_refresh();
    return id;
}

void MainWindow::on_progress(int id, const QString &phase, double fraction) {
    auto it = activities_.find(id);
    if (it == activities_.end())
        return;
    Activity *a = it->second.get();
    a->fraction = fraction;
    switch (a->kind) {
    case JobKind::Rekey:
    case JobKind::Convert:
    case JobKind::Replace:
    case JobKind::Create:
    case JobKind::Image:
    case JobKind::Import:
        a->text = phase_text(a->existing_entry, phase);
        break;
    default:
        break;
    }
    // From publishing on, the new file is being put in place: stopping
    // then would only leave a half-done step.
    if (phase == u"publishing")
        a->cancellable = false;
    request_refresh();
}

void MainWindow::cancel_activity(int id) {
    auto it = activities_.find(id);
    if (it == activities_.end() || !it->second->cancellable)
        return;
    engine_cancel(&it->second->ctx);
    request_refresh();
}

void MainWindow::on_job_finished(int id, std::shared_ptr<JobResult> result) {
    auto it = activities_.find(id);
    if (it == activities_.end())
        return;
    std::unique_ptr<Activity> activity = std::move(it->second);
    activities_.erase(it);
    if (activity->thread.joinable())
        activity->thread.join();
    finish_job(activity.get(), result.get());
    if (quit_when_idle_ && activities_.empty()) {
        quit_now();
        return;
    }
    request_refresh();
}

void MainWindow::inspect_entry(const std::string &id) {
    const JsonValue *e = entry_by_id(id);
    if (e == nullptr)
        return;
    const std::string path = entry_path(e);
    start_job(JobKind::Inspect, id, true, [backend = backend_, path](Activity *a, JobResult *r) {
        FileOperation op;
        op.command = "inspect";
        op.input = path;
        r->rc = backend.file_operation(&a->ctx, op, &r->out);
    });
}

void MainWindow::run_operation(OperationKind kind) {
    const JsonValue *e = selected_entry();
    if (e == nullptr || !entry_allows(e, kind))
        return;
    const std::string id = entry_id(e);
    auto input = std::make_shared<OperationInput>();
    if (dialog_run_operation(this, shell_, kind, e, input.get()) != 1)
        return;
    // The entry may have changed while the dialog was open.
    e = entry_by_id(id);
    if (e == nullptr || !entry_allows(e, kind)) {
        show_message(tr("Container Changed"),
                     tr("Select the container again before starting this operation."));
        return;
    }
    start_operation(e, kind, std::move(input));
}

int MainWindow::start_operation(const JsonValue *e, OperationKind kind,
                                std::shared_ptr<OperationInput> input) {
    if (!entry_allows(e, kind))
        return -EBUSY;
    const std::string id = entry_id(e);
    const std::string path = entry_path(e);
    const GuiBackend backend = backend_;
    Work work;
    if (kind == OperationKind::Mount) {
        // The preferences saved for the entry, with this mount's access; a
        // writable mount is never repeated at sign-in.
        JsonValue *prefs = json_clone(json_get(e, "preferences"));
        if (prefs == nullptr || prefs->kind != JsonKind::Object) {
            json_free(prefs);
            prefs = json_new(JsonKind::Object);
        }
        json_set_bool(prefs, "readOnly", input->read_only);
        if (!input->read_only)
            json_set_bool(prefs, "mountOnLogin", false);
        std::shared_ptr<JsonValue> preferences(prefs, json_free);
        work = [backend, input, path, id, preferences](Activity *, JobResult *r) {
            MountRequest request;
            request.path = path;
            request.password = input->password.span();
            request.system_key = input->system_key.span();
            request.unlock_cipher = input->unlock_cipher;
            request.partition = input->partition;
            request.preferences = preferences.get();
            request.entry_id = id;
            request.remember = input->remember;
            r->rc = backend.mount(request, &r->out);
        };
    } else if (kind == OperationKind::CheckAndRepair) {
        work = [backend, input, path](Activity *, JobResult *r) {
            r->rc = backend.repair(path, input->password.span(), input->system_key.span(),
                                   input->unlock_cipher, &r->out);
        };
    } else {
        const std::string command = engine_command(kind);
        work = [backend, input, path, command](Activity *a, JobResult *r) {
            FileOperation op;
            op.command = command;
            op.input = path;
            op.output = input->output;
            op.algorithm = input->new_cipher;
            op.compression = input->compression;
            op.password = input->password.span();
            op.system_key = input->system_key.span();
            op.unlock_cipher = input->unlock_cipher;
            op.new_password = input->new_password.span();
            op.confirmation = input->confirmation.span();
            r->rc = backend.file_operation(&a->ctx, op, &r->out);
        };
    }
    const int activity = start_job(job_kind_of(kind), id, true, std::move(work));
    if (activity > 0) {
        Activity *a = activities_[activity].get();
        a->path = path;
        a->output = input->output;
        a->cancellable = kind != OperationKind::Mount && kind != OperationKind::CheckAndRepair;
    }
    return activity;
}

void MainWindow::unmount_entry(const JsonValue *entry) {
    const JsonValue *session = session_for_path(entry_path(entry));
    if (session == nullptr || quitting_)
        return;
    const std::string session_id = json_get_string(session, "id", "");
    const int activity = start_job(JobKind::Unmount, entry_id(entry), true,
                                   [backend = backend_, session_id](Activity *, JobResult *r) {
                                       r->rc = backend.unmount(session_id, &r->out);
                                   });
    if (activity > 0) {
        activities_[activity]->cancellable = false;
        activities_[activity]->path = entry_path(entry);
    }
}

void MainWindow::recover_replacement(const JsonValue *entry) {
    if (!entry_is_free(entry))
        return;
    const std::string path = entry_path(entry);
    const int activity = start_job(JobKind::Recover, entry_id(entry), true,
                                   [backend = backend_, path](Activity *a, JobResult *r) {
                                       r->rc = backend.recover(&a->ctx, path, &r->out);
                                   });
    if (activity > 0) {
        activities_[activity]->cancellable = false;
        activities_[activity]->path = path;
    }
}

void MainWindow::toggle_favorite(const JsonValue *entry) {
    JsonValue *e = entry_by_id(entry_id(entry));
    if (e == nullptr || library_.read_only)
        return;
    json_set_bool(e, "favorite", !json_get_bool(e, "favorite", false));
    save_library();
    refresh();
}

void MainWindow::remove_entry(const JsonValue *entry) {
    if (library_.read_only || session_for_path(entry_path(entry)) != nullptr ||
        activity_for_entry(entry_id(entry)) != nullptr)
        return;
    library_remove(&library_, entry_id(entry));
    save_library();
    refresh();
}

void MainWindow::refresh_now() {
    if (const JsonValue *e = selected_entry(); e != nullptr && entry_is_free(e))
        inspect_entry(entry_id(e));
    poll_sessions_now();
}

void MainWindow::start_sign_in_mounting() {
    start_job(JobKind::Login, kLoginId, false,
              [backend = backend_](Activity *, JobResult *r) { r->rc = backend.login(&r->out); });
}

void MainWindow::request_quit() {
    if (activities_.empty()) {
        quit_now();
        return;
    }
    bool any_cancellable = false;
    for (const auto &[id, a] : activities_)
        any_cancellable = any_cancellable || a->cancellable;
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("Tarnwick Pro"));
    box.setIcon(QMessageBox::Warning);
    box.setText(tr("An Operation Is Still Running"));
    box.setInformativeText(any_cancellable
                               ? tr("Wait for it to finish, or cancel the operation and quit.")
                               : tr("Wait for the completed copy to be saved before quitting."));
    QPushButton *keep = box.addButton(tr("Keep Running"), QMessageBox::RejectRole);
    QPushButton *quit = box.addButton(any_cancellable ? tr("Cancel and Quit") : tr("Wait and Quit"),
                                      QMessageBox::AcceptRole);
    box.setDefaultButton(keep);
    box.exec();
    if (box.clickedButton() != quit)
        return;
    quitting_ = true;
    quit_when_idle_ = true;
    if (any_cancellable)
        for (const auto &[id, a] : activities_)
            if (a->cancellable)
                engine_cancel(&a->ctx);
    if (activities_.empty())
        quit_now();
    request_refresh();
}

void MainWindow::quit_now() {
    quitting_ = true;
    if (tray_ != nullptr)
        tray_->hide();
    close();
    QCoreApplication::quit();
}

void MainWindow::unmount_all_and_quit() {
    if (!activities_.empty() || quitting_)
        return;
    std::vector<std::pair<std::string, std::string>> sessions; // id, file name
    for (const JsonValue *s = json_first(sessions_); s != nullptr; s = json_next(s))
        sessions.emplace_back(json_get_string(s, "id", ""),
                              file_name_of(json_get_string(s, "path", "")).toStdString());
    quitting_ = true;
    start_job(JobKind::UnmountAllQuit, kServiceId, false,
              [backend = backend_, sessions](Activity *, JobResult *r) {
                  for (const auto &[id, name] : sessions) {
                      ClientOutcome out;
                      if (backend.unmount(id, &out) != 0)
                          r->lines << QStringLiteral("%1: %2").arg(qs(name), qs(out.message));
                  }
                  ClientOutcome list;
                  if (backend.status(false, &list) != 0) {
                      r->remaining = true;
                      return;
                  }
                  for (const JsonValue *s = json_first(json_get(list.result, "sessions"));
                       s != nullptr; s = json_next(s))
                      r->remaining = true;
                  r->status = json_clone(list.result);
              });
}

// ---- Results ----

void MainWindow::apply_status(const JsonValue *status) {
    json_free(sessions_);
    const JsonValue *sessions = json_get(status, "sessions");
    sessions_ = sessions != nullptr && sessions->kind == JsonKind::Array
                    ? json_clone(sessions)
                    : json_new(JsonKind::Array);
    service_reached_ = true;
    service_update_available_ = json_get_bool(status, "serviceUpdateAvailable", false);
    can_restart_service_ = json_get_bool(status, "canRestartService", false);
    QStringList warnings;
    for (const JsonValue *w = json_first(json_get(status, "warnings")); w != nullptr;
         w = json_next(w))
        if (const char *text = json_string_bytes(w))
            warnings << qs(text);
    service_warning_ = warnings.join(u'\n');
    // Containers mounted elsewhere (the command line) join the library.
    bool changed = false;
    for (const JsonValue *s = json_first(sessions_); s != nullptr; s = json_next(s)) {
        const char *path = json_get_string(s, "path", "");
        if (library_.read_only || path[0] == '\0' || library_find_path(&library_, path) != nullptr)
            continue;
        JsonValue *entry = nullptr;
        bool added = false;
        if (library_open_path(&library_, path, &entry, &added) == 0) {
            if (const JsonValue *info = json_get(s, "info"))
                json_set(entry, "info", json_clone(info));
            changed = true;
        }
    }
    if (changed)
        save_library();
}

void MainWindow::on_poll(int rc, std::shared_ptr<JobResult> result) {
    if (rc == 0) {
        apply_status(result->out.result);
    } else {
        service_reached_ = true;
        service_warning_ = result->out.message.empty() ? tr("The mount service is unavailable.")
                                                       : qs(result->out.message);
        can_restart_service_ = false;
    }
    request_refresh();
}

void MainWindow::finish_job(Activity *a, JobResult *r) {
    JsonValue *e = entry_by_id(a->entry_id);
    const QString name = e != nullptr ? qs(entry_file_name(e)) : file_name_of(a->path);
    const bool ok = r->rc == 0;
    const QString message = qs(r->out.message);
    const bool cancelled = r->out.code == "cancelled";
    auto fail_entry = [&](const QString &text) {
        if (e != nullptr && !library_.read_only) {
            json_set_string(e, "lastError", text.toUtf8().constData());
            save_library();
        }
    };
    switch (a->kind) {
    case JobKind::Inspect:
    case JobKind::Verify:
    case JobKind::Export:
    case JobKind::Rekey:
    case JobKind::Convert:
    case JobKind::Replace: {
        const bool copies = a->kind == JobKind::Rekey || a->kind == JobKind::Convert;
        if (ok) {
            const bool new_file = copies || a->kind == JobKind::Replace;
            if (e != nullptr && !library_.read_only) {
                if (!new_file) {
                    json_set(e, "info", json_clone(r->out.result));
                    if (json_get_bool(r->out.result, "verified", false))
                        json_set_int(e, "lastChecked", library_now());
                }
                json_remove(e, "lastError");
            }
            QString text;
            if (a->kind == JobKind::Verify)
                text = tr("Credentials and structure checked");
            else if (a->kind == JobKind::Export)
                text = tr("Decrypted image saved");
            else if (copies)
                text = tr("New password copy verified and saved. Original kept.");
            else if (a->kind == JobKind::Replace)
                text = tr("Replacement verified. Original backup kept.");
            if (copies && !library_.read_only) {
                JsonValue *added = nullptr;
                std::string output;
                if (library_final_path(a->output, &output) == 0)
                    library_put_path(&library_, output, json_clone(r->out.result), &added);
            }
            if (a->kind == JobKind::Replace && !library_.read_only) {
                const char *backup = json_get_string(r->out.result, "backupPath", "");
                JsonValue *added = nullptr;
                if (backup[0] != '\0')
                    library_put_path(&library_, backup, nullptr, &added);
                if (added != nullptr)
                    inspect_entry(entry_id(added));
            }
            save_library();
            if (!text.isEmpty())
                record(name, text, true, qs(a->output.empty() ? a->path : a->output));
            break;
        }
        QString text = message;
        if (cancelled)
            text = copies || a->kind == JobKind::Replace
                       ? tr("Operation cancelled. Original kept. If a new file exists, verify it "
                            "before using it.")
                       : tr("Operation cancelled");
        else if (copies)
            text = message + QStringLiteral("\n\n") +
                   tr("Original kept. If a new file exists, verify it before using it. Restart "
                      "from the original after an interruption; do not rename or use a .partial "
                      "file.");
        if (!cancelled)
            fail_entry(message);
        record(name, text, false, qs(a->path));
        if (!cancelled)
            show_message(tr("Operation Could Not Finish"), text);
        if (a->kind == JobKind::Replace && !cancelled && e != nullptr)
            inspect_entry(a->entry_id);
        break;
    }
    case JobKind::Create:
    case JobKind::Image:
    case JobKind::Import: {
        const bool import = a->kind == JobKind::Import;
        if (ok) {
            JsonValue *added = nullptr;
            std::string output;
            if (library_final_path(a->output, &output) != 0)
                output = a->output;
            if (library_put_path(&library_, output, json_clone(r->out.result), &added) == 0 &&
                added != nullptr) {
                if (json_get_bool(r->out.result, "verified", false))
                    json_set_int(added, "lastChecked", library_now());
                save_library();
                set_filter(LibraryFilter::All);
                select_entry(qs(entry_id(added)));
            }
            record(file_name_of(output),
                   import ? tr("VeraCrypt volume imported and verified. Keep the VeraCrypt file "
                               "until you have checked your files.")
                          : tr("Container created and verified."),
                   true, qs(output));
            if (const char *warning = json_get_string(r->out.result, "metadataError", nullptr))
                show_message(tr("Check the New Container"), qs(warning));
            if (import && json_get_int(r->out.result, "importRecordsKept", 0) > 0)
                show_message(tr("Interrupted Imports Need Attention"),
                             tr("Some records of interrupted imports were kept because the files "
                                "they name failed a safety check. Review %1 before you delete "
                                "anything there.")
                                 .arg(import_staging_folder()));
            break;
        }
        QString text = message;
        if (cancelled)
            text = import ? tr("Import cancelled. The VeraCrypt file was not changed and no "
                               "container was saved.")
                          : tr("Container creation cancelled. No existing file was replaced.");
        record(file_name_of(a->output), text, false, QString());
        if (!cancelled)
            show_message(import ? tr("Import Could Not Finish") : tr("Creation Could Not Finish"),
                         text);
        break;
    }
    case JobKind::ImportRecover:
        if (!ok)
            show_message(tr("Interrupted Imports Need Attention"), message);
        else if (json_get_int(r->out.result, "importRecordsKept", 0) > 0)
            show_message(tr("Interrupted Imports Need Attention"),
                         tr("Some records of interrupted imports were kept because the files "
                            "they name failed a safety check. Review %1 before you delete "
                            "anything there.")
                             .arg(import_staging_folder()));
        break;
    case JobKind::Mount: {
        if (ok) {
            json_free(sessions_);
            sessions_ = r->out.result != nullptr && r->out.result->kind == JsonKind::Array
                            ? json_clone(r->out.result)
                            : json_new(JsonKind::Array);
            const JsonValue *session = e != nullptr ? session_for_path(entry_path(e)) : nullptr;
            if (e != nullptr && !library_.read_only) {
                if (const JsonValue *info = json_get(session, "info"))
                    json_set(e, "info", json_clone(info));
                json_set_int(e, "lastChecked", library_now());
                json_set_int(e, "lastOpened", library_now());
                json_remove(e, "lastError");
                save_library();
            }
            const bool writable = json_get_bool(session, "writable", false);
            record(name, writable ? tr("Mounted read-write") : tr("Mounted read-only"), true,
                   qs(a->path));
            if (const char *point = json_get_string(session, "mountPoint", nullptr))
                open_sink_(qs(point));
        } else {
            fail_entry(message);
            record(name, message, false, qs(a->path));
            show_message(tr("Operation Could Not Finish"), message);
        }
        poll_sessions_now();
        break;
    }
    case JobKind::Unmount:
        if (ok) {
            json_free(sessions_);
            sessions_ = r->out.result != nullptr && r->out.result->kind == JsonKind::Array
                            ? json_clone(r->out.result)
                            : json_new(JsonKind::Array);
            record(name, tr("Unmounted"), true, qs(a->path));
        } else {
            record(name, message, false, qs(a->path));
            show_message(tr("Operation Could Not Finish"), message);
        }
        poll_sessions_now();
        break;
    case JobKind::Repair: {
        if (!ok) {
            record(name, message, false, qs(a->path));
            show_message(tr("Check and Repair Could Not Finish"), message);
        } else {
            const JsonValue *report = r->out.result;
            const bool clean = json_get_bool(report, "repairClean", false);
            QString error = qs(json_get_string(report, "markerError", ""));
            if (error.isEmpty())
                error = qs(json_get_string(report, "repairError", ""));
            const QString verdict =
                !clean ? tr("fsck could not fix every problem. Copy your files off with a "
                            "read-only mount, then create a new container.")
                : error.isEmpty()
                    ? tr("fsck found no problems left on this volume. Write access is available "
                         "again.")
                    : tr("fsck found no problems left on this volume.");
            // The last 13 lines of the tool's output are enough to see why.
            QStringList lines = qs(json_get_string(report, "repairOutput", "")).split(u'\n');
            while (!lines.isEmpty() && lines.front().isEmpty())
                lines.removeFirst();
            while (!lines.isEmpty() && lines.back().isEmpty())
                lines.removeLast();
            if (lines.size() > 13)
                lines = lines.mid(lines.size() - 13);
            QString filesystem = qs(json_get_string(report, "filesystem", ""));
            if (filesystem.isEmpty())
                filesystem = QStringLiteral("?");
            const QString text =
                verdict + u'\n' +
                tr("%1, fsck %2").arg(filesystem).arg(json_get_int(report, "repairStatus", -1)) +
                QStringLiteral("\n\n") +
                (error.isEmpty() ? QString() : error + QStringLiteral("\n\n")) + lines.join(u'\n');
            record(name,
                   clean ? tr("Filesystem checked: no problems left")
                         : tr("Filesystem check found problems it could not fix"),
                   clean, qs(a->path));
            show_message(tr("Check and Repair Filesystem"), text.trimmed());
        }
        inspect_entry(a->entry_id);
        poll_sessions_now();
        break;
    }
    case JobKind::Recover:
        if (ok) {
            const char *backup = json_get_string(r->out.result, "backupPath", "");
            if (backup[0] != '\0' && !library_.read_only) {
                JsonValue *added = nullptr;
                if (library_find_path(&library_, backup) == nullptr &&
                    library_put_path(&library_, backup, nullptr, &added) == 0 && added != nullptr)
                    inspect_entry(entry_id(added));
                save_library();
                show_message(tr("Original Backup Kept"), qs(backup));
            }
            record(name, tr("Replacement recovery finished"), true, qs(a->path));
            inspect_entry(a->entry_id);
        } else {
            record(name, message, false, qs(a->path));
            show_message(tr("Recovery Could Not Finish"), message);
        }
        break;
    case JobKind::Preferences:
        if (ok) {
            if (r->status != nullptr && e != nullptr && !library_.read_only) {
                json_set(e, "preferences", json_clone(r->status));
                save_library();
            }
            if (r->out.result != nullptr && r->out.result->kind == JsonKind::Array) {
                json_free(sessions_);
                sessions_ = json_clone(r->out.result);
            }
        } else {
            show_message(tr("Preferences Could Not Be Saved"), message);
        }
        break;
    case JobKind::Forget:
        if (!ok)
            show_message(tr("Saved Password Could Not Be Removed"), message);
        break;
    case JobKind::Login:
        if (!ok) {
            show_message(tr("Login Mounts Need Attention"), message);
        } else {
            apply_status(r->out.result);
            if (!service_warning_.isEmpty())
                show_message(tr("Some Containers Need Attention"), service_warning_);
        }
        break;
    case JobKind::Restart:
        restarting_service_ = false;
        {
            std::lock_guard lock(poll_mutex_);
            poll_paused_ = false;
        }
        if (!ok) {
            show_message(a->label == "quit" ? tr("Could Not Prepare for Update")
                                            : tr("Mount Service Could Not Restart"),
                         message);
        } else {
            apply_status(r->out.result);
            if (a->label == "quit")
                quit_when_idle_ = true;
        }
        poll_sessions_now();
        break;
    case JobKind::UnmountAllQuit:
        if (r->status != nullptr)
            apply_status(r->status);
        if (!r->remaining) {
            quit_when_idle_ = true;
            break;
        }
        quitting_ = false;
        show_message(tr("Operation Could Not Finish"),
                     r->lines.isEmpty() ? tr("Some containers are still mounted.")
                                        : r->lines.join(u'\n'));
        break;
    }
}

// ---- Session poll ----

void MainWindow::poll_sessions_now() {
    {
        std::lock_guard lock(poll_mutex_);
        poll_signalled_ = true;
    }
    poll_wake_.notify_all();
}

void MainWindow::poll_loop() {
    std::unique_lock lock(poll_mutex_);
    bool first = true;
    while (!poll_stop_) {
        if (!first)
            poll_wake_.wait_for(lock, std::chrono::seconds(5),
                                [this]() { return poll_signalled_ || poll_stop_; });
        first = false;
        if (poll_stop_)
            break;
        poll_signalled_ = false;
        if (poll_paused_)
            continue;
        const bool may_start = poll_may_start_;
        lock.unlock();
        auto result = std::make_shared<JobResult>();
        const int rc = backend_.status(may_start, &result->out);
        QMetaObject::invokeMethod(
            this, [this, rc, result]() { on_poll(rc, result); }, Qt::QueuedConnection);
        lock.lock();
    }
}

// ---- What the dialogs start ----

int MainWindow::start_creation(std::unique_ptr<CreationJob> job) {
    if (library_.read_only || quitting_ || restarting_service_)
        return -EROFS;
    const JobKind kind = job->kind == CreationJob::Kind::Import  ? JobKind::Import
                         : job->kind == CreationJob::Kind::Image ? JobKind::Image
                                                                 : JobKind::Create;
    const std::string output = job->output;
    std::shared_ptr<CreationJob> shared(std::move(job));
    const int activity = start_job(kind, kCreationPrefix + output, false,
                                   [backend = backend_, shared](Activity *a, JobResult *r) {
                                       CreationJob &j = *shared;
                                       r->rc = creation_run(j, backend, &a->ctx, &r->out);
                                       // The secrets go as soon as the engine has them.
                                       j.password.wipe();
                                       j.new_password.wipe();
                                       j.confirmation.wipe();
                                       j.system_key.wipe();
                                   });
    if (activity > 0)
        activities_[activity]->output = output;
    return activity;
}

bool MainWindow::activity_state(int activity, ActivityState *out) const {
    auto it = activities_.find(activity);
    if (it == activities_.end())
        return false;
    out->text = it->second->text;
    out->fraction = it->second->fraction;
    out->cancellable = it->second->cancellable;
    out->cancel_requested = it->second->ctx.cancel_requested.load();
    return true;
}

int MainWindow::save_preferences(const QString &entry_id_text, JsonValue *preferences) {
    const std::string id = entry_id_text.toStdString();
    const JsonValue *e = entry_by_id(id);
    if (e == nullptr || library_.read_only) {
        json_free(preferences);
        return -ENOENT;
    }
    std::shared_ptr<JsonValue> prefs(preferences, json_free);
    const JsonValue *session = session_for_path(entry_path(e));
    std::string session_id;
    // A mounted container's inactivity time is the service's to change.
    if (session != nullptr && qs(json_get_string(session, "phase", "")) == u"mounted" &&
        json_get_int(json_get(session, "preferences"), "idleSeconds", 0) !=
            json_get_int(preferences, "idleSeconds", 0))
        session_id = json_get_string(session, "id", "");
    const int activity =
        start_job(JobKind::Preferences, id, true,
                  [backend = backend_, prefs, session_id](Activity *, JobResult *r) {
                      if (!session_id.empty()) {
                          r->rc = backend.preferences(session_id, prefs.get(), &r->out);
                      } else {
                          std::string code, message;
                          r->rc = mount_preferences_check(prefs.get(), &code, &message);
                          if (r->rc != 0)
                              client_fail(&r->out, code, message);
                      }
                      if (r->rc == 0)
                          r->status = json_clone(prefs.get());
                  });
    if (activity > 0)
        activities_[activity]->cancellable = false;
    return activity;
}

int MainWindow::forget_password(const QString &entry_id_text) {
    const std::string id = entry_id_text.toStdString();
    const int activity =
        start_job(JobKind::Forget, id, true, [backend = backend_, id](Activity *, JobResult *r) {
            r->rc = backend.forget(id, &r->out);
        });
    if (activity > 0)
        activities_[activity]->cancellable = false;
    return activity;
}

int MainWindow::restart_service(bool quit_after) {
    if (restarting_service_ || quitting_)
        return -EBUSY;
    restarting_service_ = true;
    {
        std::lock_guard lock(poll_mutex_);
        poll_paused_ = true;
    }
    const int activity = start_job(JobKind::Restart, kServiceId, false,
                                   [backend = backend_, quit_after](Activity *, JobResult *r) {
                                       if (quit_after) {
                                           r->rc = service_stop(&r->out);
                                       } else {
                                           r->rc = backend.restart(&r->out);
                                       }
                                   });
    if (activity <= 0) {
        restarting_service_ = false;
        std::lock_guard lock(poll_mutex_);
        poll_paused_ = false;
        return activity;
    }
    activities_[activity]->cancellable = false;
    activities_[activity]->label = quit_after ? "quit" : "";
    return activity;
}

const JsonValue *MainWindow::creation_options(QString *error) {
    if (creation_options_ != nullptr)
        return creation_options_;
    EngineRunContext ctx;
    ClientOutcome out;
    if (engine_creation_options(&ctx, &out) != 0) {
        if (error != nullptr)
            *error = qs(out.message);
        return nullptr;
    }
    creation_options_ = out.result;
    out.result = nullptr;
    return creation_options_;
}

// ---- The shell functions ----

int shell_start_creation(GuiShell *shell, std::unique_ptr<CreationJob> job) {
    return shell->window->start_creation(std::move(job));
}
bool shell_activity_state(GuiShell *shell, int activity, ActivityState *out) {
    return shell->window->activity_state(activity, out);
}
void shell_cancel_activity(GuiShell *shell, int activity) {
    shell->window->cancel_activity(activity);
}
int shell_save_preferences(GuiShell *shell, const QString &entry_id, JsonValue *preferences) {
    return shell->window->save_preferences(entry_id, preferences);
}
int shell_forget_password(GuiShell *shell, const QString &entry_id) {
    return shell->window->forget_password(entry_id);
}
bool shell_launch_at_login_enabled() {
    return autostart_enabled(autostart_program_path());
}
int shell_set_launch_at_login(bool enabled) {
    return autostart_set(autostart_program_path(), enabled);
}
bool shell_service_update_available(GuiShell *shell) {
    return shell->window->service_update_available();
}
bool shell_can_restart_service(GuiShell *shell) {
    return shell->window->can_restart_service() && shell->window->activity_count() == 0 &&
           json_first(shell->window->sessions()) == nullptr;
}
int shell_restart_service(GuiShell *shell, bool quit_after) {
    return shell->window->restart_service(quit_after);
}
const JsonValue *shell_creation_options(GuiShell *shell, QString *error) {
    return shell->window->creation_options(error);
}

} // namespace tw
