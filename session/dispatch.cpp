// The request protocol: validation, the mount tickets, every action and the
// status that every reply carries.
#include "platform/clock.h"
#include "platform/secure_memory.h"
#include "runtime/text.h"
#include "session/library.h"
#include "session/preferences.h"
#include "session/service.h"
#include "session/sessions.h"
#include "session/texts.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <unistd.h>

namespace tw {

namespace wire = session_wire;
namespace text = session_text;

namespace {

constexpr uint64_t kRefreshInterval = 10000000; // 1 s in 100 ns units

struct Reply {
    JsonValue *object = nullptr;
    SessionError error;
};

void wipe_string(std::string *s) {
    secure_wipe(s->data(), s->size());
    s->clear();
}

void ticket_free(MountTicket *t) {
    for (std::string *s : {&t->ticket, &t->operation_id, &t->request_text, &t->session_id,
                           &t->error_code, &t->error_message})
        wipe_string(s);
    t->outcome = 0;
    t->expiry = 0;
}

void tickets_expire(Service *s) {
    uint64_t now = monotonic_now();
    for (MountTicket &t : s->tickets)
        if (!t.request_text.empty() && t.expiry <= now)
            ticket_free(&t);
}

int run_prepare_mount(Service *s, const JsonValue *request, Reply *reply) {
    if (json_get_int(request, wire::kVersion, 1) < wire::kVersionTickets)
        return session_fail(&reply->error, wire::kCodeProtocol, text::kPrepareVersion, -EINVAL);
    if (!json_has(request, wire::kPath, JsonKind::String) || json_get(request, wire::kCredentials))
        return session_fail(&reply->error, wire::kCodeProtocol, text::kPrepareMembers, -EINVAL);
    tickets_expire(s);
    std::string canonical = request_canonical_text(request);
    if (canonical.empty())
        return session_fail(&reply->error, wire::kCodeMount, strerror(ENOMEM), -ENOMEM);
    const char *operation = json_get_string(request, wire::kOperationId, "");
    for (MountTicket &t : s->tickets) {
        if (t.request_text.empty() || strcasecmp(t.operation_id.c_str(), operation) != 0)
            continue;
        if (t.request_text != canonical)
            return session_fail(&reply->error, wire::kCodeMountRequestChanged,
                                text::kRequestChanged, -EINVAL);
        json_set_string(reply->object, wire::kMountTicket, t.ticket.c_str());
        return 0;
    }
    for (MountTicket &t : s->tickets) {
        if (!t.request_text.empty())
            continue;
        char id[kUuidTextSize];
        if (!uuid_generate(id))
            return session_fail(&reply->error, wire::kCodeMount, strerror(EIO), -EIO);
        t.ticket = id;
        t.operation_id = operation;
        t.request_text = canonical;
        t.outcome = 0;
        t.expiry = monotonic_now() + wire::kTicketLifetime;
        json_set_string(reply->object, wire::kMountTicket, id);
        return 0;
    }
    return session_fail(&reply->error, wire::kCodeMountRequestsFull, text::kRequestsFull, -ENOSPC);
}

int mount_now(Service *s, const JsonValue *request, Reply *reply, std::string *session_id) {
    JsonValue *record = nullptr;
    int rc = session_mount(s, request, &record, session_id, &reply->error);
    // Saving the credentials may fail; the container stays mounted and the
    // reply says what was not saved.
    if (rc == 0)
        library_after_mount(s, request, record, &reply->error);
    json_free(record); // the reply's sessions show it
    return rc;
}

int run_mount(Service *s, const JsonValue *request, Reply *reply) {
    std::string session_id;
    if (json_get_int(request, wire::kVersion, 1) < wire::kVersionTickets)
        return mount_now(s, request, reply, &session_id);
    if (strcasecmp(json_get_string(request, wire::kServiceInstance, ""), s->instance.c_str()) != 0)
        return session_fail(&reply->error, wire::kCodeMountRequestExpired, text::kInstanceChanged,
                            -ESTALE);
    tickets_expire(s);
    const char *ticket_id = json_get_string(request, wire::kMountTicket, "");
    MountTicket *ticket = nullptr;
    for (MountTicket &t : s->tickets)
        if (!t.request_text.empty() && strcasecmp(t.ticket.c_str(), ticket_id) == 0)
            ticket = &t;
    if (ticket == nullptr)
        return session_fail(&reply->error, wire::kCodeMountRequestExpired, text::kTicketExpired,
                            -ESTALE);
    if (request_canonical_text(request) != ticket->request_text)
        return session_fail(&reply->error, wire::kCodeMountRequestChanged, text::kRequestChanged,
                            -EINVAL);
    if (ticket->outcome == 1) {
        int slot = session_find(s, ticket->session_id.c_str());
        if (slot >= 0 && strcmp(json_get_string(s->slots[slot].record, wire::kPhase, ""),
                                wire::kPhaseMounted) == 0)
            return 0;
        return session_fail(&reply->error, wire::kCodeMountEnded, text::kMountEnded, -ESTALE);
    }
    if (ticket->outcome == 2)
        return session_fail(&reply->error, ticket->error_code.c_str(),
                            ticket->error_message.c_str(), -EIO);
    int rc = mount_now(s, request, reply, &session_id);
    ticket->session_id = session_id;
    if (rc != 0 || reply->error.set()) {
        ticket->outcome = 2;
        ticket->error_code = reply->error.code.empty() ? wire::kCodeMount : reply->error.code;
        ticket->error_message = reply->error.message;
    } else {
        ticket->outcome = 1;
    }
    return rc;
}

int run_unmount(Service *s, const JsonValue *request, Reply *reply) {
    const char *id = json_get_string(request, wire::kSessionId, nullptr);
    if (!uuid_is_valid(id))
        return session_fail(&reply->error, wire::kCodeProtocol, text::kUnmountNeedsId, -EINVAL);
    int slot = session_find(s, id);
    if (slot < 0)
        return 0;
    int rc = session_unmount(s, static_cast<size_t>(slot), &reply->error);
    if (rc != 0) {
        if (reply->error.code.empty())
            reply->error.code = wire::kCodeUnmount;
        if (reply->error.message.empty())
            reply->error.message = text::kUnmountFailed;
    }
    return rc;
}

int run_repair(Service *s, const JsonValue *request, Reply *reply,
               std::unique_lock<std::mutex> &held) {
    if (json_get_int(request, wire::kVersion, 1) < wire::kVersionRepair)
        return session_fail(&reply->error, wire::kCodeProtocol, text::kRepairVersion, -EINVAL);
    JsonValue *report = nullptr;
    int rc = session_repair(s, request, held, &report, &reply->error);
    if (report != nullptr)
        json_set(reply->object, wire::kRepairReport, report);
    return rc;
}

int run_shutdown(Service *s, const JsonValue *request, Reply *reply) {
    if (json_get_int(request, wire::kVersion, 1) < wire::kVersionShutdown ||
        strcasecmp(json_get_string(request, wire::kServiceInstance, ""), s->instance.c_str()) != 0)
        return session_fail(&reply->error, wire::kCodeServiceChanged, text::kShutdownChanged,
                            -ESTALE);
    if (!service_can_restart(s))
        return session_fail(&reply->error, wire::kCodeServiceBusy, text::kServiceBusy, -EBUSY);
    s->stopping = true;
    return 0;
}

bool version_is_valid(const JsonValue *request) {
    const JsonValue *v = json_get(request, wire::kVersion);
    return v != nullptr && v->kind == JsonKind::Number && v->is_integer &&
           v->int_value >= wire::kVersionMin && v->int_value <= wire::kVersionMax;
}

JsonValue *service_status(Service *s) {
    JsonValue *service = json_new(JsonKind::Object);
    json_set_string(service, wire::kInstance, s->instance.c_str());
    json_set_int(service, wire::kPid, getpid());
    json_set_int(service, wire::kStart, static_cast<int64_t>(s->start));
    json_set_string(service, wire::kServicePath, s->own_path.c_str());
    json_set_string(service, wire::kBuild, s->build.c_str());
    json_set_bool(service, wire::kCanRestart, service_can_restart(s));
    return service;
}

} // namespace

bool service_can_restart(Service *s) {
    for (const SessionSlot &slot : s->slots)
        if (slot.record != nullptr)
            return false;
    if (!s->warnings.empty())
        return false;
    DIR *dir = opendir(s->run_folder.c_str());
    if (dir == nullptr)
        return errno == ENOENT;
    bool empty = true;
    while (dirent *e = readdir(dir))
        if (uuid_is_valid(e->d_name))
            empty = false;
    closedir(dir);
    return empty;
}

JsonValue *service_dispatch(Service *s, const JsonValue *request,
                            std::unique_lock<std::mutex> &held, pid_t client) {
    Reply reply;
    reply.object = json_new(JsonKind::Object);
    json_set_int(reply.object, wire::kVersion, 1);
    json_set_string(reply.object, wire::kOperationId,
                    json_get_string(request, wire::kOperationId, ""));
    const char *action = json_get_string(request, wire::kAction, "");
    if (!version_is_valid(request) ||
        !uuid_is_valid(json_get_string(request, wire::kOperationId, nullptr))) {
        session_fail(&reply.error, wire::kCodeProtocol, text::kUnsupportedVersion, -EINVAL);
    } else if (s->stopping) {
        session_fail(&reply.error, wire::kCodeServiceChanged, text::kRestarting, -ESTALE);
    } else {
        if (strcmp(action, wire::kActionShutdown) != 0 &&
            monotonic_now() - s->last_refresh >= kRefreshInterval) {
            sessions_refresh(s);
            s->last_refresh = monotonic_now();
        }
        if (strcmp(action, wire::kActionList) == 0) {
        } else if (strcmp(action, wire::kActionPrepareMount) == 0) {
            run_prepare_mount(s, request, &reply);
        } else if (strcmp(action, wire::kActionMount) == 0) {
            run_mount(s, request, &reply);
        } else if (strcmp(action, wire::kActionUnmount) == 0) {
            run_unmount(s, request, &reply);
        } else if (strcmp(action, wire::kActionRepair) == 0) {
            run_repair(s, request, &reply, held);
        } else if (strcmp(action, wire::kActionShutdown) == 0) {
            run_shutdown(s, request, &reply);
        } else if (strcmp(action, wire::kActionPreferences) == 0) {
            if (session_change_preferences(s, request, &reply.error) != 0 &&
                reply.error.message.empty())
                session_fail(&reply.error, wire::kCodeRegistry, text::kPreferencesNotSaved, -EIO);
        } else if (strcmp(action, wire::kActionLogin) == 0) {
            library_login(s, client, &reply.error);
        } else if (strcmp(action, wire::kActionForget) == 0) {
            library_forget(s, request, &reply.error);
        } else {
            session_fail(&reply.error, wire::kCodeProtocol, text::kUnknownOperation, -EINVAL);
        }
    }
    if (reply.error.set()) {
        JsonValue *error = json_new(JsonKind::Object);
        json_set_string(error, wire::kCode,
                        reply.error.code.empty() ? wire::kCodeMount : reply.error.code.c_str());
        json_set_string(error, wire::kMessage, reply.error.message.c_str());
        json_set(reply.object, wire::kError, error);
    }
    json_set(reply.object, wire::kSessions, sessions_list(s));
    JsonValue *warnings = json_new(JsonKind::Array);
    for (const std::string &w : s->warnings)
        json_append(warnings, json_new_string(w.c_str()));
    for (const auto &issue : s->sign_in_issues)
        json_append(warnings, json_new_string(issue.second.c_str()));
    json_set(reply.object, wire::kWarnings, warnings);
    json_set(reply.object, wire::kService, service_status(s));
    return reply.object;
}

} // namespace tw
