// The table of engine operations. A command without an entry answers with
// an error event; it never reports a result it did not produce.
#include "engine/operations.h"
#include "engine/engine.h"

namespace tw {

namespace {

struct OperationEntry {
    EngineCommand command;
    EngineOperation run;
};

constexpr OperationEntry kOperations[] = {
    {EngineCommand::CreationOptions, run_creation_options},
    {EngineCommand::RecoverReplacement, run_recover_replacement},
    {EngineCommand::Inspect, run_inspect},
    {EngineCommand::Verify, run_verify},
    {EngineCommand::VerifyFull, run_verify_full},
    {EngineCommand::Export, run_export},
    {EngineCommand::Rekey, run_rekey_or_convert},
    {EngineCommand::Convert, run_rekey_or_convert},
    {EngineCommand::Replace, run_replace},
    {EngineCommand::Devices, run_devices},
    {EngineCommand::ApproveImaging, run_approve_imaging},
    {EngineCommand::Image, run_image},
    {EngineCommand::Create, run_create},
    {EngineCommand::ImportVeracrypt, run_import_veracrypt},
    {EngineCommand::ImportRecover, run_import_recover},
    {EngineCommand::Benchmark, run_benchmark},
};

} // namespace

EngineOperation engine_operation_for(EngineCommand command) {
    for (const OperationEntry &entry : kOperations)
        if (entry.command == command)
            return entry.run;
    return nullptr;
}

} // namespace tw
