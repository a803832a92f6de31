// The engine's requests to the broker: formatting a new container's disk,
// listing removable devices, borrowing one for imaging, and recording an
// administrator's approval for imaging.
//
// One request per connection; the client never retries. Every failure comes
// with the message for the user in *message (the broker client's own texts
// or the broker's "error" text).
#pragma once

#include "platform/descriptor.h"
#include "runtime/json.h"

#include <cstdint>
#include <string>

namespace tw {

struct FormatRequest {
    uint16_t port = 0;            // the format target on 127.0.0.1
    const char *target = nullptr; // its target name
    const char *chap_name = nullptr;
    const char *chap_secret = nullptr; // wiped with the request once sent
    uint64_t size = 0;                 // bytes
    const char *filesystem = nullptr;  // "fat32", "exfat" or "ntfs"
    const char *label = nullptr;
};

// 0 when the disk was formatted and the initiator has logged out again.
int broker_format(const FormatRequest &request, std::string *message);

// The broker's device list, passed on unchanged: *devices is the array (the
// caller owns it). A reply whose "devices" is not an array fails.
int broker_devices(JsonValue **devices, std::string *message);

// A device lent for imaging. The broker takes it back when the connection
// closes, so `connection` stays open until the engine is done with `device`.
struct LentDevice {
    FileHandle connection;
    FileHandle device;  // read-only, passed along with the reply
    int64_t handle = 0; // the reply's "handle": the descriptor number here, 0 when none came
    int64_t size = 0;   // the reply's "size", 0 when missing
};
int broker_image_source(const char *device, int64_t identity, LentDevice *out,
                        std::string *message);

// Records that `user` may image the device; needs an administrator's engine.
int broker_approve_imaging(const char *device, int64_t identity, const char *user,
                           std::string *message);

// Sends any request (consumed) on a new connection and returns the reply;
// the operations above are built on it. With `keep`, the connection stays
// open there and a descriptor that came with the reply is kept in
// *received.
int broker_request(JsonValue *request, JsonValue **reply, std::string *message,
                   FileHandle *keep = nullptr, FileHandle *received = nullptr);

} // namespace tw
