// Entry points of the engine's operations, one per command (see the table in
// operations.cpp). Each writes its result or error event and returns the
// exit code.
#pragma once

namespace tw {

struct EngineContext;

int run_creation_options(EngineContext *ctx);
int run_recover_replacement(EngineContext *ctx);
int run_inspect(EngineContext *ctx);
int run_verify(EngineContext *ctx);
int run_verify_full(EngineContext *ctx);
int run_export(EngineContext *ctx);
int run_rekey_or_convert(EngineContext *ctx);
int run_replace(EngineContext *ctx);
int run_devices(EngineContext *ctx);
int run_approve_imaging(EngineContext *ctx);
int run_image(EngineContext *ctx);
int run_create(EngineContext *ctx);
int run_import_veracrypt(EngineContext *ctx);
int run_import_recover(EngineContext *ctx);
int run_benchmark(EngineContext *ctx);

} // namespace tw
