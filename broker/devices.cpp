#include "broker/devices.h"

#include "broker/callers.h"
#include "broker/log.h"
#include "broker/texts.h"
#include "platform/clock.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace tw {

namespace {

constexpr size_t kDeviceTextLimit = 63;

uint64_t now_ms() {
    return monotonic_now() / 10000;
}

JsonValue *device_entry(const RemovableDisk &disk) {
    JsonValue *entry = json_new(JsonKind::Object);
    json_set_string(entry, "path", disk.path.c_str());
    json_set_string(entry, "name", disk.display.c_str());
    json_set_int(entry, "identity", static_cast<int64_t>(disk.identity));
    json_set_int(entry, "size", static_cast<int64_t>(disk.size));
    json_set_int(entry, "diskNumber", static_cast<int64_t>(disk.number));
    return entry;
}

// A user as records name one: a uid in decimal, no sign, no leading zero.
bool valid_user(const char *text) {
    if (text == nullptr || text[0] == '\0' || std::strlen(text) > 10 ||
        (text[0] == '0' && text[1] != '\0'))
        return false;
    uint64_t value = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return value < UINT32_MAX; // (uid_t)-1 names nobody
}

// A positive integer member ("identity"); 0 when missing or not one.
uint64_t identity_member(const JsonValue *request) {
    const JsonValue *v = json_get(request, "identity");
    if (v == nullptr || v->kind != JsonKind::Number || !v->is_integer || v->int_value <= 0)
        return 0;
    return static_cast<uint64_t>(v->int_value);
}

// Takes the approval for this user, device and identity: it serves one
// lending only. Device names are compared exactly: "/dev/sdb" and
// "/dev/SDB" are different nodes here.
bool consume_approval(Broker *broker, const std::string &user, const char *device,
                      uint64_t identity) {
    const uint64_t now = now_ms();
    for (Broker::ImagingApproval &a : broker->approvals) {
        if (a.expiry_ms == 0 || a.expiry_ms <= now || a.user != user || a.device != device ||
            a.identity != identity)
            continue;
        a = Broker::ImagingApproval{};
        return true;
    }
    return false;
}

} // namespace

JsonValue *broker_run_devices(BrokerRequest *r) {
    std::vector<RemovableDisk> disks;
    if (removable_disks_list(r->broker->device_roots, &disks) != 0)
        return nullptr;
    JsonValue *array = json_new(JsonKind::Array);
    for (const RemovableDisk &disk : disks)
        json_append(array, device_entry(disk));
    JsonValue *reply = json_new(JsonKind::Object);
    json_set(reply, "devices", array);
    return reply;
}

JsonValue *broker_run_approve_imaging(BrokerRequest *r) {
    if (!pipe_client_is_admin(r->fd))
        return broker_error_reply(kTextOnlyAdminApproves);
    const char *device = json_get_string(r->request, "device", "");
    const char *user = json_get_string(r->request, "user", nullptr);
    uint64_t identity = identity_member(r->request);
    size_t length = std::strlen(device);
    if (length == 0 || length > kDeviceTextLimit || identity == 0 || !valid_user(user))
        return broker_error_reply(kTextInvalidApproval);
    // The slot that expires first (an empty one before any other) makes room.
    Broker::ImagingApproval *slot = &r->broker->approvals[0];
    for (Broker::ImagingApproval &a : r->broker->approvals)
        if (a.expiry_ms < slot->expiry_ms)
            slot = &a;
    slot->user = user;
    slot->device = device;
    slot->identity = identity;
    slot->expiry_ms = now_ms() + kApprovalLifetimeMs;
    broker_log(kLogApproved, device, user);
    return json_new(JsonKind::Object);
}

JsonValue *broker_run_image_source(BrokerRequest *r) {
    BrokerConnection *connection = r->connection;
    if (connection == nullptr)
        return nullptr;
    if (connection->lent_device.valid())
        return broker_error_reply(kTextAlreadyLent);
    if (verify_caller(r->peer->pid, 0, r->peer->user, "tarnwick-engine", 0) != 0)
        return broker_error_reply(kTextNotOurProgram);
    const char *device = json_get_string(r->request, "device", "");
    uint64_t identity = identity_member(r->request);
    if (!consume_approval(r->broker, r->peer->user, device, identity))
        return broker_error_reply(kTextNeedsApproval);

    const BlockRoots &roots = r->broker->device_roots;
    RemovableDisk disk;
    int rc = removable_disk_find(roots, device, &disk);
    if (rc == -EINVAL)
        return nullptr; // not a device path at all: the generic failure
    if (rc != 0 || disk.identity != identity)
        return broker_error_reply(kTextNotEligible);
    FileHandle fd;
    rc = removable_disk_open(disk, &fd);
    if (rc == -EBUSY)
        return broker_error_reply(kTextVolumesOpen);
    if (rc == -ENODEV)
        return broker_error_reply(kTextChangedWhilePrepared);
    if (rc != 0)
        return broker_error_reply(kTextCannotDismount);
    // Once the disk is held, it must still be the disk that was approved.
    RemovableDisk again;
    if (removable_disk_find(roots, device, &again) != 0 || again.identity != identity ||
        again.number != disk.number)
        return broker_error_reply(kTextChangedWhilePrepared);

    JsonValue *reply = json_new(JsonKind::Object);
    json_set_int(reply, "handle", fd.get());
    json_set_int(reply, "size", static_cast<int64_t>(disk.size));
    // The descriptor goes with the reply (SCM_RIGHTS); the connection keeps
    // the broker's own until it ends.
    connection->pass_fd = fd.get();
    connection->lent_device = std::move(fd);
    r->broker->in_flight++;
    broker_log(kLogLent, static_cast<unsigned long>(r->peer->pid));
    return reply;
}

} // namespace tw
