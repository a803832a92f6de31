// Sign-out and shutdown through logind (sd-bus).
//
// sd-bus objects belong to one thread, so everything on the bus happens in
// the watcher thread: the other threads only say whether the inhibitor is
// wanted and wake it through a pipe.
#include "session/signout.h"

#include "session/sessions.h"
#include "session/texts.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kLogind = "org.freedesktop.login1";
constexpr const char *kManagerPath = "/org/freedesktop/login1";
constexpr const char *kManager = "org.freedesktop.login1.Manager";
constexpr const char *kInhibitWhat = "shutdown";
constexpr const char *kInhibitWho = "Tarnwick";
constexpr const char *kInhibitWhy = "Tarnwick is unmounting encrypted disks.";
constexpr int kIdlePollMs = 1000;

} // namespace

struct SignOutWatch {
    Service *service = nullptr;
    sd_bus *bus = nullptr;
    std::string session_path; // our login session, or empty
    std::atomic<bool> want_inhibitor{false};
    std::atomic<bool> quit{false};
    int inhibitor = -1; // the lock's descriptor, watcher thread only
    int wake[2] = {-1, -1};
    std::thread thread;
};

namespace {

void wake_watcher(SignOutWatch *w) {
    char c = 1;
    (void)!write(w->wake[1], &c, 1);
}

void take_inhibitor(SignOutWatch *w) {
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call_method(w->bus, kLogind, kManagerPath, kManager, "Inhibit", &error, &reply,
                           "ssss", kInhibitWhat, kInhibitWho, kInhibitWhy, "delay") >= 0) {
        int fd = -1;
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
            w->inhibitor = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
}

void match_inhibitor(SignOutWatch *w) {
    bool want = w->want_inhibitor.load();
    if (want && w->inhibitor < 0)
        take_inhibitor(w);
    else if (!want && w->inhibitor >= 0) {
        close(w->inhibitor);
        w->inhibitor = -1;
    }
}

// The user's session ends, or the machine shuts down: detach every disk
// while the inhibitor still holds the shutdown back.
void session_ending(SignOutWatch *w) {
    Service *s = w->service;
    {
        std::lock_guard<std::mutex> held(s->lock);
        sessions_unmount_all(s);
        sign_out_update(s);
    }
    match_inhibitor(w);
}

int on_session_removed(sd_bus_message *m, void *user, sd_bus_error *) {
    auto *w = static_cast<SignOutWatch *>(user);
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &id, &path) >= 0 && path != nullptr &&
        !w->session_path.empty() && w->session_path == path)
        session_ending(w);
    return 0;
}

int on_prepare_for_shutdown(sd_bus_message *m, void *user, sd_bus_error *) {
    int starting = 0;
    if (sd_bus_message_read(m, "b", &starting) >= 0 && starting)
        session_ending(static_cast<SignOutWatch *>(user));
    return 0;
}

void watch(SignOutWatch *w) {
    while (!w->quit) {
        match_inhibitor(w);
        while (sd_bus_process(w->bus, nullptr) > 0) {
        }
        pollfd p[2] = {{sd_bus_get_fd(w->bus), static_cast<short>(sd_bus_get_events(w->bus)), 0},
                       {w->wake[0], POLLIN, 0}};
        if (poll(p, 2, kIdlePollMs) > 0 && (p[1].revents & POLLIN) != 0) {
            char buffer[64];
            (void)!read(w->wake[0], buffer, sizeof buffer);
        }
        if ((p[0].revents & (POLLHUP | POLLERR)) != 0)
            break; // the bus went away: nothing more to watch
    }
    if (w->inhibitor >= 0)
        close(w->inhibitor);
    w->inhibitor = -1;
}

void watch_free(SignOutWatch *w) {
    if (w->bus != nullptr)
        sd_bus_flush_close_unref(w->bus);
    for (int fd : w->wake)
        if (fd >= 0)
            close(fd);
    delete w;
}

} // namespace

int sign_out_start(Service *s) {
    auto *w = new SignOutWatch;
    w->service = s;
    int rc = sd_bus_open_system(&w->bus);
    int has_owner = 0;
    if (rc >= 0) {
        sd_bus_message *reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        rc = sd_bus_call_method(w->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                kLogind);
        if (rc >= 0)
            sd_bus_message_read(reply, "b", &has_owner);
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
    if (rc < 0 || !has_owner) {
        fprintf(stderr, "%s\n", session_text::kLogNoLogind);
        watch_free(w);
        return rc < 0 ? rc : -ENOENT;
    }
    // The login session this service runs in; without one (started outside
    // any session) only a shutdown unmounts.
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call_method(w->bus, kLogind, kManagerPath, kManager, "GetSessionByPID", &error,
                           &reply, "u", static_cast<uint32_t>(getpid())) >= 0) {
        const char *path = nullptr;
        if (sd_bus_message_read(reply, "o", &path) >= 0 && path != nullptr)
            w->session_path = path;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    if (sd_bus_match_signal(w->bus, nullptr, kLogind, kManagerPath, kManager, "SessionRemoved",
                            on_session_removed, w) < 0 ||
        sd_bus_match_signal(w->bus, nullptr, kLogind, kManagerPath, kManager, "PrepareForShutdown",
                            on_prepare_for_shutdown, w) < 0 ||
        pipe2(w->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "%s\n", session_text::kLogNoLogind);
        watch_free(w);
        return -EIO;
    }
    try {
        w->thread = std::thread(watch, w);
    } catch (...) {
        watch_free(w);
        return -EAGAIN;
    }
    fprintf(stderr, "%s\n", session_text::kLogLogind);
    s->sign_out = w;
    return 0;
}

void sign_out_update(Service *s) {
    SignOutWatch *w = s->sign_out;
    if (w == nullptr)
        return;
    bool busy = false;
    for (const SessionSlot &slot : s->slots)
        busy = busy || slot.record != nullptr;
    if (w->want_inhibitor.exchange(busy) != busy)
        wake_watcher(w);
}

void sign_out_stop(Service *s) {
    SignOutWatch *w = s->sign_out;
    if (w == nullptr)
        return;
    w->quit = true;
    wake_watcher(w);
    if (w->thread.joinable())
        w->thread.join();
    s->sign_out = nullptr;
    watch_free(w);
}

} // namespace tw
