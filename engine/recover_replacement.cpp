// "recover-replacement": finishes a replacement that was interrupted.
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "engine/replacement.h"
#include "runtime/json.h"

namespace tw {

int run_recover_replacement(EngineContext *ctx) {
    std::string backup_path;
    int rc = recover_replacement(ctx->args.file, &backup_path);
    if (rc != 0) {
        // Whatever went wrong, nothing was deleted: the journal and every
        // file it names stay for another attempt.
        return engine_fail("recovery",
                           "Replacement recovery could not finish. Keep the container, backup and "
                           "journal together; no file was discarded.");
    }
    JsonValue *result = json_new(JsonKind::Object);
    json_set_string(result, "backupPath", backup_path.c_str());
    rc = result ? event_write_result(result) : -ENOMEM;
    json_free(result);
    return rc == 0 ? kExitSuccess : kExitFailure;
}

} // namespace tw
