#include "engine/broker_client.h"

#include "runtime/pipes.h"

#include <cerrno>

namespace tw {

namespace {

constexpr const char *kInvalidDeviceList = "The storage service returned an invalid device list.";

JsonValue *new_request(const char *action) {
    JsonValue *request = json_new(JsonKind::Object);
    json_set_string(request, "action", action);
    return request;
}

} // namespace

int broker_request(JsonValue *request, JsonValue **reply, std::string *message, FileHandle *keep,
                   FileHandle *received) {
    *reply = nullptr;
    if (request == nullptr) {
        *message = "Out of memory.";
        return -ENOMEM;
    }
    FileHandle connection;
    const char *connect_message = nullptr;
    int rc = broker_connect(&connection, &connect_message);
    if (rc != 0) {
        json_free(request);
        *message = connect_message;
        return rc;
    }
    rc = broker_exchange(connection.get(), request, reply, message, received);
    if (rc == 0 && keep != nullptr)
        *keep = std::move(connection);
    return rc;
}

int broker_format(const FormatRequest &r, std::string *message) {
    JsonValue *request = new_request("format");
    json_set_int(request, "port", r.port);
    json_set_string(request, "target", r.target);
    json_set_string(request, "chapName", r.chap_name);
    json_set_string(request, "chapSecret", r.chap_secret);
    json_set_int(request, "size", static_cast<int64_t>(r.size));
    json_set_string(request, "filesystem", r.filesystem);
    json_set_string(request, "label", r.label);
    JsonValue *reply = nullptr;
    // The request, and the CHAP secret in it, is wiped when it is released.
    int rc = broker_request(request, &reply, message);
    json_free(reply);
    return rc;
}

int broker_devices(JsonValue **devices, std::string *message) {
    *devices = nullptr;
    JsonValue *reply = nullptr;
    int rc = broker_request(new_request("devices"), &reply, message);
    if (rc != 0)
        return rc;
    JsonValue *list = json_get(reply, "devices");
    if (list == nullptr || list->kind != JsonKind::Array) {
        json_free(reply);
        *message = kInvalidDeviceList;
        return -EPROTO;
    }
    *devices = json_detach(reply, list);
    json_free(reply);
    return 0;
}

int broker_image_source(const char *device, int64_t identity, LentDevice *out,
                        std::string *message) {
    JsonValue *request = new_request("image-source");
    json_set_string(request, "device", device);
    json_set_int(request, "identity", identity);
    JsonValue *reply = nullptr;
    int rc = broker_request(request, &reply, message, &out->connection, &out->device);
    if (rc != 0)
        return rc;
    // The broker's own number for the device means nothing here; the
    // descriptor that came with the reply is the one to use.
    out->handle =
        out->device.valid() && json_get_int(reply, "handle", 0) != 0 ? out->device.get() : 0;
    out->size = json_get_int(reply, "size", 0);
    json_free(reply);
    return 0;
}

int broker_approve_imaging(const char *device, int64_t identity, const char *user,
                           std::string *message) {
    JsonValue *request = new_request("approve-imaging");
    json_set_string(request, "device", device);
    json_set_int(request, "identity", identity);
    json_set_string(request, "user", user);
    JsonValue *reply = nullptr;
    int rc = broker_request(request, &reply, message);
    json_free(reply);
    return rc;
}

} // namespace tw
