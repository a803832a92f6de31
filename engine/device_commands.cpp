// "devices" and "approve-imaging": the two engine commands that only ask
// the broker.
#include "engine/broker_client.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"

#include <cstdint>

namespace tw {

namespace {

constexpr const char *kNoDeviceList = "Removable devices could not be listed.";

// A decimal number without sign, spaces or trailing characters that fits
// the request's integer.
bool parse_identity(const char *text, int64_t *out) {
    if (text == nullptr || *text == '\0')
        return false;
    uint64_t value = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (static_cast<uint64_t>(INT64_MAX) - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *out = static_cast<int64_t>(value);
    return true;
}

} // namespace

int run_devices(EngineContext *) {
    JsonValue *devices = nullptr;
    std::string message;
    if (broker_devices(&devices, &message) != 0)
        return engine_fail("engine", message.empty() ? kNoDeviceList : message.c_str());
    JsonValue *result = json_new(JsonKind::Object);
    json_set(result, "devices", devices);
    int rc = event_write_result(result);
    json_free(result);
    return rc == 0 ? kExitSuccess : kExitFailure;
}

// Reports only through the exit code: the elevated engine has no one to show
// events to.
int run_approve_imaging(EngineContext *ctx) {
    int64_t identity = 0;
    if (!parse_identity(ctx->args.identity_text, &identity))
        return kExitFailure;
    std::string message;
    return broker_approve_imaging(ctx->args.device, identity, ctx->args.user, &message) == 0
               ? kExitSuccess
               : kExitFailure;
}

} // namespace tw
