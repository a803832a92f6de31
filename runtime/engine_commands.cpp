#include "runtime/engine_commands.h"

namespace tw {

namespace {

using A = EngineArgument;
using C = EngineCommand;
using K = CredentialKind;
using P = ProgressMode;

// clang-format off
constexpr EngineCommandInfo kCommands[] = {
    // command line, engine, command, special, command-line arguments,
    //   engine arguments, --algorithm, compression, credential, progress, available, engine usage
    {"info", "inspect", C::Inspect, false, 1,
        1, {A::File}, false, false, K::None, P::Copy, true, nullptr},
    {"verify", "verify", C::Verify, false, 1,
        1, {A::File}, false, false, K::Current, P::Copy, true, nullptr},
    // "verify --full" on the command line: every block read and checked.
    {nullptr, "verify-full", C::VerifyFull, false, 1,
        1, {A::File}, false, false, K::Current, P::Export, true, nullptr},
    {"export", "export", C::Export, false, 2,
        2, {A::File, A::Output}, false, false, K::Current, P::Export, true, nullptr},
    {"rekey", "rekey", C::Rekey, false, 2,
        2, {A::File, A::Output}, false, true, K::CurrentAndNew, P::Copy, true, nullptr},
    {"convert", "convert", C::Convert, false, 2,
        3, {A::File, A::Output, A::Algorithm}, true, true, K::CurrentAndNew, P::Copy, true,
        nullptr},
    {"replace", "replace", C::Replace, false, 1,
        2, {A::File, A::Algorithm}, true, true, K::CurrentAndNew, P::Copy, true, nullptr},
    // The new container's cipher is the credential request's.
    {"create", "create", C::Create, false, 4,
        4, {A::Output, A::Bytes, A::Filesystem, A::Label}, true, true, K::CurrentAndNew, P::Copy,
        true, nullptr},
    {"image", "image", C::Image, false, 2,
        4, {A::Device, A::Output, A::Algorithm, A::Identity}, true, true, K::CurrentAndNew,
        P::Image, true, nullptr},
    {"import-veracrypt", "import-veracrypt", C::ImportVeracrypt, false, 2,
        2, {A::File, A::Output}, false, false, K::CurrentAndNew, P::Import, true,
        "Expected import-veracrypt SOURCE OUTPUT."},
    {nullptr, "creation-options", C::CreationOptions, true, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"devices", "devices", C::Devices, true, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {nullptr, "import-recover", C::ImportRecover, true, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"recover-replacement", "recover-replacement", C::RecoverReplacement, true, 1,
        1, {A::File}, false, false, K::None, P::Copy, true, nullptr},
    {nullptr, "approve-imaging", C::ApproveImaging, true, 0,
        3, {A::Device, A::Identity, A::User}, false, false, K::None, P::Copy, true, nullptr},
    {"benchmark", "benchmark", C::Benchmark, true, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    // Commands of the mount service; no engine runs them.
    {"mount", nullptr, C::None, false, 1,
        0, {}, false, false, K::Current, P::Copy, true, nullptr},
    {"unmount", nullptr, C::None, false, 1,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"repair", nullptr, C::None, false, 1,
        0, {}, false, false, K::Current, P::Copy, true, nullptr},
    {"sessions", nullptr, C::None, false, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"service-status", nullptr, C::None, false, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"restart-service", nullptr, C::None, false, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
    {"stop-service", nullptr, C::None, false, 0,
        0, {}, false, false, K::None, P::Copy, true, nullptr},
};
// clang-format on

} // namespace

std::span<const EngineCommandInfo> engine_commands() {
    return kCommands;
}

const EngineCommandInfo *cli_command_find(std::string_view cli_name) {
    for (const EngineCommandInfo &c : kCommands)
        if (c.cli_name != nullptr && cli_name == c.cli_name)
            return &c;
    return nullptr;
}

const EngineCommandInfo *engine_command_find(std::string_view engine_name) {
    for (const EngineCommandInfo &c : kCommands)
        if (c.engine_name != nullptr && engine_name == c.engine_name)
            return &c;
    return nullptr;
}

const EngineCommandInfo *engine_command_info(EngineCommand command) {
    if (command == EngineCommand::None)
        return nullptr;
    for (const EngineCommandInfo &c : kCommands)
        if (c.command == command)
            return &c;
    return nullptr;
}

const char *engine_command_name(EngineCommand command) {
    const EngineCommandInfo *c = engine_command_info(command);
    return c != nullptr ? c->engine_name : "";
}

int engine_argument_index(const EngineCommandInfo &info, EngineArgument argument) {
    for (int i = 0; i < info.engine_argument_count; ++i)
        if (info.engine_arguments[i] == argument)
            return i;
    return -1;
}

} // namespace tw
