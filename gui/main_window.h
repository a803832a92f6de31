// The library window: the library of containers, their states, the
// background operations (activities), the session poll and the tray icon.
//
// Only the window's thread touches the library, the sessions and the
// widgets. Every operation runs on a thread of its own and posts its
// progress and its result back to the window.
#pragma once

#include "client/client.h"
#include "gui/dialogs/dialogs.h"
#include "gui/library.h"

#include <QMainWindow>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace tw {

// What the window calls to reach the engine and the mount service. The
// defaults are the client library's functions; tests put scripted ones in.
struct GuiBackend {
    int (*status)(bool may_start, ClientOutcome *out) = service_status;
    int (*mount)(const MountRequest &request, ClientOutcome *out) = service_mount;
    int (*unmount)(std::string_view session_id, ClientOutcome *out) = service_unmount;
    int (*repair)(std::string_view path, std::span<const uint8_t> password,
                  std::span<const uint8_t> system_key, uint32_t unlock_cipher,
                  ClientOutcome *out) = service_repair_unlocking;
    int (*login)(ClientOutcome *out) = service_login;
    int (*forget)(std::string_view entry_id, ClientOutcome *out) = service_forget;
    int (*preferences)(std::string_view session_id, const JsonValue *preferences,
                       ClientOutcome *out) = service_preferences;
    int (*restart)(ClientOutcome *out) = service_restart;
    int (*file_operation)(EngineRunContext *ctx, const FileOperation &op,
                          ClientOutcome *out) = engine_file_operation;
    int (*create)(EngineRunContext *ctx, const CreateOperation &op,
                  ClientOutcome *out) = engine_create;
    int (*image)(EngineRunContext *ctx, const ImageOperation &op,
                 ClientOutcome *out) = engine_image;
    int (*recover)(EngineRunContext *ctx, std::string_view path,
                   ClientOutcome *out) = engine_recover_replacement;
    int (*run)(EngineRunContext *ctx, std::span<const std::string> args,
               std::span<const uint8_t> credentials, ClientOutcome *out) = engine_run;
};

// How the program was started.
struct StartOptions {
    bool login = false;             // "--login": hidden, sign-in mounting
    std::vector<std::string> paths; // containers to open
    bool import_check = true;       // run the engine's "import-recover"
};

// The background operations.
enum class JobKind {
    Inspect,
    Verify,
    Export,
    Rekey,
    Convert,
    Replace,
    Create,
    Image,
    Import,
    ImportRecover,
    Mount,
    Unmount,
    Preferences,
    Recover,
    Forget,
    Login,
    Restart,
    UnmountAllQuit,
    Repair,
};

// Most activities at once.
inline constexpr size_t kActivityLimit = 64;
// Recent operations kept, and shown.
inline constexpr size_t kRecentLimit = 30;
inline constexpr size_t kRecentShown = 8;

struct Activity;
struct JobResult;

// A result shown in the recent-operations pane.
struct RecentOperation {
    QString file_name;
    QString message;
    bool succeeded = false;
    QString path; // shown in the file manager when activated; may be empty
};

// The filters of the left column.
enum class LibraryFilter { All = 0, Favorites = 1, NeedsAttention = 2 };

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // Loads the library from `library_path` (empty: the user root's
    // "library.json").
    explicit MainWindow(QWidget *parent = nullptr, const std::string &library_path = {},
                        const GuiBackend &backend = GuiBackend());
    ~MainWindow() override;

    // The rest of the start: tray icon, first refresh, import check, a
    // pending library message, the session poll, the paths, sign-in
    // mounting.
    void start(const StartOptions &options);

    // Opens containers (the command line, a hand-off, drops, the open
    // dialog): adds them to the library or selects the existing entries.
    void open_paths(const std::vector<std::string> &paths);
    // A hand-off of another start of the program.
    void handle_hand_off(uint32_t identifier, const QByteArray &data, bool *accepted);

    // Shows a message: a message box over the visible window, a tray
    // notification while it is hidden. Tests replace the sink.
    using MessageSink = std::function<void(const QString &title, const QString &text)>;
    void set_message_sink(MessageSink sink) { message_sink_ = std::move(sink); }
    void show_message(const QString &title, const QString &text);
    // Opens a folder or file in the file manager (tests replace it).
    using OpenSink = std::function<void(const QString &path)>;
    void set_open_sink(OpenSink sink) { open_sink_ = std::move(sink); }
    // Whether the poll may start the mount service (tests without one turn
    // it off).
    void set_poll_may_start(bool may_start);

    // State, for the dialogs and for tests.
    Library &library() { return library_; }
    const JsonValue *sessions() const { return sessions_; }
    const JsonValue *session_for_path(const char *path) const;
    const JsonValue *selected_entry() const;
    void select_entry(const QString &id);
    void set_filter(LibraryFilter filter);
    void set_search(const QString &text);
    QString status_text(const JsonValue *entry) const;
    QStringList shown_names() const; // the list's Name column, in order
    const std::deque<RecentOperation> &recent() const { return recent_; }
    size_t activity_count() const { return activities_.size(); }
    Activity *activity_for_entry(const std::string &entry_id) const;
    int activity_id_for_entry(const std::string &entry_id) const; // 0: none
    QString service_status_text() const;
    bool entry_allows(const JsonValue *entry, OperationKind kind) const;
    bool entry_is_free(const JsonValue *entry) const;
    // New Container…, Image Removable Device… and Import are offered.
    bool can_create() const;

    // The actions (menus, toolbar, tray and tests).
    void run_operation(OperationKind kind);
    // Starts a container operation for an entry with collected input.
    int start_operation(const JsonValue *entry, OperationKind kind,
                        std::shared_ptr<OperationInput> input);
    void unmount_entry(const JsonValue *entry);
    void recover_replacement(const JsonValue *entry);
    void toggle_favorite(const JsonValue *entry);
    void remove_entry(const JsonValue *entry);
    void refresh_now();          // F5: inspects the selection, polls the service
    void request_quit();         // "Quit Tarnwick"
    void unmount_all_and_quit(); // "Unmount All and Quit"
    void start_sign_in_mounting();
    void cancel_activity(int id);
    void poll_sessions_now();

    // The shell functions for the dialogs (gui/shell.h).
    int start_creation(std::unique_ptr<CreationJob> job);
    bool activity_state(int activity, ActivityState *out) const;
    int save_preferences(const QString &entry_id, JsonValue *preferences);
    int forget_password(const QString &entry_id);
    int restart_service(bool quit_after);
    bool service_update_available() const { return service_update_available_; }
    bool can_restart_service() const { return can_restart_service_; }
    const JsonValue *creation_options(QString *error);
    GuiShell *shell() { return shell_; }
    // A progress event of an activity (posted by its thread).
    void on_progress(int id, const QString &phase, double fraction);

  protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

  private:
    // Building.
    void build_menus();
    void build_toolbar();
    void build_body();
    void build_tray();
    void retitle();

    // Refreshing.
    void request_refresh();
    void refresh();
    void rebuild_list();
    void rebuild_details();
    void update_status_bar();
    void update_actions();
    void rebuild_recent();
    void fill_tray_menu();
    std::vector<JsonValue *> shown_entries() const;
    bool needs_attention(const JsonValue *entry) const;

    // Library changes.
    void save_library();
    void record(const QString &file_name, const QString &message, bool succeeded,
                const QString &path = QString());
    void show_library_load_message();
    JsonValue *entry_by_id(const std::string &id) const;

    // Jobs.
    using Work = std::function<void(Activity *, JobResult *)>;
    int start_job(JobKind kind, const std::string &entry_id, bool existing_entry, Work work);
    void on_job_finished(int id, std::shared_ptr<JobResult> result);
    void finish_job(Activity *activity, JobResult *result);
    void too_many_operations();
    void inspect_entry(const std::string &id);
    void quit_now();
    void apply_status(const JsonValue *status);
    void on_poll(int rc, std::shared_ptr<JobResult> result);

    // Session poll thread.
    void poll_loop();

    Library library_;
    GuiBackend backend_;
    GuiShell *shell_ = nullptr;
    JsonValue *sessions_ = nullptr; // array
    QString service_warning_;
    bool service_reached_ = false;
    bool service_update_available_ = false;
    bool can_restart_service_ = false;
    JsonValue *creation_options_ = nullptr;

    std::map<int, std::unique_ptr<Activity>> activities_;
    int next_activity_id_ = 1;
    int64_t last_too_many_ms_ = -1;
    std::deque<RecentOperation> recent_;

    LibraryFilter filter_ = LibraryFilter::All;
    QString search_;
    QString selected_id_;
    QString list_signature_;
    QString details_signature_;
    bool refresh_pending_ = false;
    bool quitting_ = false;
    bool restarting_service_ = false;
    bool settings_open_ = false;
    bool quit_when_idle_ = false;
    bool started_ = false;

    MessageSink message_sink_;
    OpenSink open_sink_;

    // Widgets.
    QListWidget *filters_ = nullptr;
    QLineEdit *search_box_ = nullptr;
    QStackedWidget *list_stack_ = nullptr;
    QTreeWidget *list_ = nullptr;
    QWidget *details_ = nullptr;
    QVBoxLayout *details_layout_ = nullptr;
    QProgressBar *details_progress_ = nullptr;
    QPushButton *details_cancel_ = nullptr;
    QWidget *recent_pane_ = nullptr;
    QTreeWidget *recent_list_ = nullptr;
    QWidget *details_pane_ = nullptr;
    QLabel *count_label_ = nullptr;
    QToolButton *service_label_ = nullptr;
    QSystemTrayIcon *tray_ = nullptr;
    QMenu *tray_menu_ = nullptr;
    QMenu *container_menu_ = nullptr;
    std::map<int, QAction *> operation_actions_;
    QAction *new_action_ = nullptr;
    QAction *image_action_ = nullptr;
    QAction *import_action_ = nullptr;
    QAction *open_action_ = nullptr;
    QAction *settings_action_ = nullptr;
    QAction *unmount_action_ = nullptr;
    QAction *recover_action_ = nullptr;
    QAction *show_action_ = nullptr;
    QAction *refresh_action_ = nullptr;
    QAction *operations_toggle_ = nullptr;
    QAction *inspector_toggle_ = nullptr;

    // The session poll.
    std::thread poll_thread_;
    std::mutex poll_mutex_;
    std::condition_variable poll_wake_;
    bool poll_signalled_ = false;
    bool poll_stop_ = false;
    bool poll_paused_ = false;
    bool poll_may_start_ = true;
};

} // namespace tw
