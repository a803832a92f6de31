#include "broker/service.h"

#include "broker/actions.h"
#include "broker/log.h"
#include "broker/texts.h"
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr int kPipeRetryMs = 1000;
constexpr int kStopPollMs = 250;
constexpr int kWakeTimeoutMs = 100;

// Counts a new connection of the session; false when the session already has
// kConnectionsPerSession open or the table is full.
bool connection_open(Broker *broker, uint64_t session) {
    std::lock_guard<std::mutex> guard(broker->connections_lock);
    Broker::SessionConnections *free = nullptr;
    for (auto &entry : broker->connections) {
        if (entry.open > 0 && entry.session == session) {
            if (entry.open >= kConnectionsPerSession)
                return false;
            entry.open++;
            return true;
        }
        if (entry.open == 0 && free == nullptr)
            free = &entry;
    }
    if (free == nullptr)
        return false;
    free->session = session;
    free->open = 1;
    return true;
}

void connection_close(Broker *broker, uint64_t session) {
    std::lock_guard<std::mutex> guard(broker->connections_lock);
    for (auto &entry : broker->connections)
        if (entry.open > 0 && entry.session == session) {
            entry.open--;
            return;
        }
}

struct Connection {
    Broker *broker;
    int fd;
    uint64_t session;
};

// Serves one client: requests until it closes, fails to send one in time, or
// a reply cannot be sent. The client is identified once, after its first
// request; one that cannot be identified gets no reply.
void *serve_connection(void *arg) {
    Connection c = *static_cast<Connection *>(arg);
    delete static_cast<Connection *>(arg);
    FileHandle fd(c.fd);
    PipePeer peer;
    BrokerConnection connection;
    bool identified = false;
    for (;;) {
        JsonValue *request = nullptr;
        if (pipe_receive_message(fd.get(), identified ? kPipeWaitForever : kFirstRequestTimeoutMs,
                                 &request) != 0)
            break;
        if (!identified && pipe_identify_client(fd.get(), &peer) != 0) {
            json_free(request);
            break;
        }
        identified = true;
        JsonValue *reply = broker_handle_request(c.broker, fd.get(), &peer, request, &connection);
        json_free(request);
        int rc = connection.pass_fd >= 0
                     ? pipe_send_message_with_descriptor(fd.get(), reply, connection.pass_fd)
                     : pipe_send_message(fd.get(), reply);
        connection.pass_fd = -1;
        json_free(reply);
        if (rc != 0)
            break;
    }
    fd.reset();
    // The lent device comes back with the connection: closing the broker's
    // descriptor (once the engine's copy is closed too) ends the exclusive
    // claim, and the disk's volumes can be mounted again.
    if (connection.lent_device.valid()) {
        connection.lent_device.reset();
        c.broker->in_flight--;
    }
    connection_close(c.broker, c.session);
    return nullptr;
}

struct StopWatch {
    Broker *broker;
    sigset_t signals;
};

// Waits for SIGTERM or SIGINT, then stops the accept loop: the flag first,
// then one connection to the broker's own socket to wake the blocked accept.
void *watch_stop(void *arg) {
    auto *w = static_cast<StopWatch *>(arg);
    int signal_number = 0;
    while (sigwait(&w->signals, &signal_number) != 0) {
    }
    w->broker->stopping = true;
    FileHandle wake;
    pipe_connect(kBrokerSocketPath, kWakeTimeoutMs, &wake);
    return nullptr;
}

bool start_thread(void *(*run)(void *), void *arg) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run, arg) != 0)
        return false;
    pthread_detach(thread);
    return true;
}

// /run/tarnwick: created root-owned 0755 (clients must reach the socket),
// or an existing one trusted only when root owns it and nobody else may
// change it.
int prepare_runtime_folder() {
    if (mkdir(kBrokerRuntimeFolder, 0755) == 0 && chmod(kBrokerRuntimeFolder, 0755) != 0)
        return -errno;
    struct stat st;
    if (lstat(kBrokerRuntimeFolder, &st) != 0)
        return -errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return -EACCES;
    return 0;
}

[[noreturn]] void stop_now(Broker *broker) {
    pipe_close_server(&broker->server);
    // Requests that were running finish; new ones are refused as "stopping".
    while (broker->in_flight.load() != 0)
        usleep(kStopPollMs * 1000);
    broker_log("%s", kLogStopped);
    // Connection threads may still wait for their clients; the process ends
    // under them without running destructors they could still be using.
    _exit(0);
}

} // namespace

JsonValue *broker_error_reply(const char *message) {
    JsonValue *reply = json_new(JsonKind::Object);
    json_set_string(reply, "error", message);
    return reply;
}

JsonValue *broker_handle_request(Broker *broker, int fd, const PipePeer *peer,
                                 const JsonValue *request, BrokerConnection *connection) {
    // Counted before the stop flag is read: the stopping side sets the flag
    // before it waits for this counter, so either this request sees the flag
    // or the broker waits for it.
    broker->in_flight++;
    JsonValue *reply = nullptr;
    const BrokerActionEntry *entry = broker_action_for(json_get_string(request, "action", nullptr));
    const JsonValue *version = json_get(request, "version");
    if (broker->stopping)
        reply = broker_error_reply(kTextStopping);
    else if (version == nullptr || version->kind != JsonKind::Number || !version->is_integer ||
             version->int_value != 1)
        reply = broker_error_reply(kTextUnsupportedProtocol);
    else if (entry == nullptr)
        reply = broker_error_reply(kTextUnknownOperation);
    else {
        BrokerRequest r{broker, fd, peer, request, connection};
        if (entry->locks_itself) {
            reply = entry->run(&r);
        } else {
            std::lock_guard<std::mutex> guard(broker->lock);
            reply = entry->run(&r);
        }
        if (reply == nullptr)
            reply = broker_error_reply(kTextOperationFailed);
    }
    broker->in_flight--;
    json_set_int(reply, "version", 1);
    return reply;
}

int broker_serve() {
    if (geteuid() != 0) {
        fprintf(stderr, "%s\n", kTextRunAsRoot);
        return 1;
    }
    // The stop signals are taken by one thread; every thread made later
    // inherits the blocked mask, so none of them is interrupted by them.
    static StopWatch watch;
    sigemptyset(&watch.signals);
    sigaddset(&watch.signals, SIGTERM);
    sigaddset(&watch.signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &watch.signals, nullptr);

    static Broker broker;
    broker.boot = boot_time();
    watch.broker = &broker;
    std::string log_path;
    int rc = prepare_runtime_folder();
    if (rc == 0)
        rc = machine_folder("broker", &broker.records.folder);
    if (rc == 0)
        rc = ensure_private_folder(broker.records.folder);
    if (rc == 0)
        rc = machine_folder("broker.log", &log_path);
    if (rc != 0) {
        fprintf(stderr, kTextCannotStart, strerror(-rc));
        return 1;
    }
    broker_log_open(log_path);
    if (!start_thread(watch_stop, &watch)) {
        fprintf(stderr, kTextCannotStart, strerror(EAGAIN));
        return 1;
    }

    // The socket comes first: its lock proves that no other broker runs, and
    // only then may the records be loaded and swept. Clients that connect
    // meanwhile wait in the queue.
    while ((rc = pipe_create_server(kBrokerSocketPath, 0666, &broker.server)) != 0) {
        if (rc == -EADDRINUSE) {
            fprintf(stderr, "%s\n", kTextAlreadyRunning);
            return 1;
        }
        broker_log(kLogPipeFailed, -rc);
        if (broker.stopping)
            stop_now(&broker);
        usleep(kPipeRetryMs * 1000);
    }
    {
        std::lock_guard<std::mutex> guard(broker.lock);
        rc = records_load(&broker.records, broker.boot);
    }
    if (rc != 0) {
        fprintf(stderr, kTextCannotStart, strerror(-rc));
        pipe_close_server(&broker.server);
        return 1;
    }
    broker_log(kLogStarted, kBrokerVersion, kBrokerBuild);

    while (!broker.stopping) {
        FileHandle client;
        rc = pipe_accept(&broker.server, &client);
        if (rc != 0) {
            // Out of descriptors or memory: wait, then listen on.
            broker_log(kLogPipeFailed, -rc);
            usleep(kPipeRetryMs * 1000);
            continue;
        }
        if (broker.stopping)
            break;
        PipePeer peer;
        if (pipe_identify_client(client.get(), &peer) != 0 ||
            !connection_open(&broker, peer.session))
            continue; // closed without a reply
        auto *c = new Connection{&broker, client.get(), peer.session};
        if (start_thread(serve_connection, c)) {
            client.release();
        } else {
            delete c;
            connection_close(&broker, peer.session);
        }
    }
    stop_now(&broker);
}

} // namespace tw
