// The service's life: start-up, the accept loop, the request threads, the
// housekeeping thread and the ending.
#include "platform/clock.h"
#include "platform/fingerprint.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "runtime/text.h"
#include "session/library.h"
#include "session/service.h"
#include "session/sessions.h"
#include "session/signout.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace tw {

namespace wire = session_wire;

namespace {

constexpr int kRetryMs = 1000;
constexpr int kDrainPollMs = 20;
constexpr int kDrainPolls = 100;
constexpr int kHousekeepingMs = 3000;
constexpr int kWakeTimeoutMs = 1000;

void send_reply(Service *s, FileHandle client, JsonValue *reply) {
    pipe_send_message(client.get(), reply);
    json_free(reply);
    client.reset();
    s->active_requests--;
}

// A repair runs in its own thread from the start: it gives the lock up
// while the broker checks, and the accept loop goes on meanwhile.
void repair_thread(Service *s, FileHandle client, JsonValue *request, pid_t peer) {
    JsonValue *reply = nullptr;
    {
        std::unique_lock<std::mutex> held(s->lock);
        reply = service_dispatch(s, request, held, peer);
        sign_out_update(s);
    }
    json_free(request);
    send_reply(s, std::move(client), reply);
}

void serve_client(Service *s, FileHandle client) {
    if (s->active_requests.load() > wire::kMaxRequestThreads)
        return;
    // Only the user's own processes are served: another user's request is
    // not even read.
    PipePeer peer;
    if (pipe_identify_client(client.get(), &peer) != 0 || peer.user != s->user)
        return;
    JsonValue *request = nullptr;
    if (pipe_receive_message(client.get(), wire::kRequestTimeoutMs, &request) != 0)
        return;
    s->active_requests++;
    if (strcmp(json_get_string(request, wire::kAction, ""), wire::kActionRepair) == 0) {
        try {
            std::thread(repair_thread, s, std::move(client), request, peer.pid).detach();
        } catch (...) {
            json_free(request);
            s->active_requests--;
        }
        return;
    }
    JsonValue *reply = nullptr;
    {
        std::unique_lock<std::mutex> held(s->lock);
        reply = service_dispatch(s, request, held, peer.pid);
        sign_out_update(s);
    }
    json_free(request);
    try {
        std::thread(send_reply, s, std::move(client), reply).detach();
    } catch (...) {
        json_free(reply);
        s->active_requests--;
    }
}

void housekeeping(Service *s) {
    for (;;) {
        {
            std::unique_lock<std::mutex> wait(s->stop_lock);
            if (s->stop_signal.wait_for(wait, std::chrono::milliseconds(kHousekeepingMs),
                                        [s] { return s->stopped; }))
                return;
        }
        bool replaced = false;
        {
            std::lock_guard<std::mutex> held(s->lock);
            if (s->stopping)
                continue;
            sessions_refresh(s);
            s->last_refresh = monotonic_now();
            sessions_idle_check(s);
            sign_out_update(s);
            std::string image;
            if (service_can_restart(s) && !s->own_path.empty() &&
                (process_image_path(getpid(), &image) != 0 || image != s->own_path)) {
                // The program file was moved or replaced: a new instance
                // should serve from now on.
                s->stopping = true;
                replaced = true;
            }
        }
        if (replaced) {
            FileHandle wake;
            pipe_connect(s->socket_path.c_str(), kWakeTimeoutMs, &wake);
        }
    }
}

} // namespace

Service::~Service() {
    for (SessionSlot &slot : slots)
        session_slot_release(&slot);
}

int service_init(Service *s) {
    s->user = current_user_id();
    if (int rc = session_socket_path(&s->socket_path); rc != 0)
        return rc;
    if (int rc = user_folder("run", &s->run_folder); rc != 0)
        return rc;
    if (int rc = ensure_private_folder(s->run_folder); rc != 0)
        return rc;
    char instance[kUuidTextSize];
    if (!uuid_generate(instance))
        return -EIO;
    s->instance = instance;
    if (program_file_path("tarnwick-service", &s->own_path) != 0)
        s->own_path.clear();
    if (program_file_path("tarnwick-worker", &s->worker_program) != 0)
        s->worker_program.clear();
    if (installation_fingerprint(&s->build) != 0)
        s->build.clear();
    bool running = false;
    process_identity(getpid(), &running, &s->start, nullptr);
    s->boot = boot_time();
    return 0;
}

void service_request_stop(Service *s) {
    s->stopping = true;
    FileHandle wake;
    pipe_connect(s->socket_path.c_str(), kWakeTimeoutMs, &wake);
}

int service_main() {
    harden_process();
    Service service;
    Service *s = &service;
    if (service_init(s) != 0)
        return 1;
    // The first instance for this user holds the socket's lock; a second one
    // leaves at once and the first stays untouched.
    int rc = pipe_create_server(s->socket_path.c_str(), 0600, &s->server);
    if (rc == -EADDRINUSE)
        return 0;
    if (rc != 0) {
        fprintf(stderr, "tarnwick-service: cannot create %s: %s\n", s->socket_path.c_str(),
                strerror(-rc));
        return 1;
    }
    // Windows asks programs to end in an order of shutdown levels; Linux has
    // none, and logind's inhibitor (below) takes its place.
    sign_out_start(s);
    {
        std::lock_guard<std::mutex> held(s->lock);
        sessions_load(s);
        sessions_refresh(s);
        s->last_refresh = monotonic_now();
        sign_out_update(s);
    }
    std::thread keeper;
    try {
        keeper = std::thread(housekeeping, s);
    } catch (...) {
        pipe_close_server(&s->server);
        return 1;
    }
    while (!s->stopping) {
        FileHandle client;
        if (pipe_accept(&s->server, &client) != 0) {
            if (!s->stopping)
                std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
            continue;
        }
        if (s->stopping)
            break;
        serve_client(s, std::move(client));
    }
    pipe_close_server(&s->server);
    for (int i = 0; i < kDrainPolls && s->active_requests.load() > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(kDrainPollMs));
    {
        std::lock_guard<std::mutex> wait(s->stop_lock);
        s->stopped = true;
    }
    s->stop_signal.notify_all();
    keeper.join();
    sign_out_stop(s);
    // Request threads that are still writing keep the process alive no
    // longer: the reply of a request that took over two seconds to send is lost.
    fflush(stderr);
    _exit(0);
}

} // namespace tw
