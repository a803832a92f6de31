#include "engine/arguments.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

bool equals(const char *a, const char *b) {
    return std::strcmp(a, b) == 0;
}

// A general command: one of the table's engine commands that is not special.
const EngineCommandInfo *find_general(const char *name) {
    const EngineCommandInfo *c = engine_command_find(name);
    return c != nullptr && !c->special ? c : nullptr;
}

// Takes the command's positional arguments (argv[2] on) into their fields.
// ALGORITHM has no text field: the general parser reads it as a number, as it
// does IDENTITY besides keeping its text.
void take_positional(const EngineCommandInfo &cmd, char **argv, EngineArgs *args) {
    static constexpr struct {
        EngineArgument argument;
        const char *EngineArgs::*text;
    } kFields[] = {
        {EngineArgument::File, &EngineArgs::file},
        {EngineArgument::Output, &EngineArgs::output},
        {EngineArgument::Device, &EngineArgs::device},
        {EngineArgument::Bytes, &EngineArgs::bytes},
        {EngineArgument::Filesystem, &EngineArgs::fs},
        {EngineArgument::Label, &EngineArgs::label},
        {EngineArgument::User, &EngineArgs::user},
        {EngineArgument::Identity, &EngineArgs::identity_text},
    };
    for (int i = 0; i < cmd.engine_argument_count; ++i)
        for (const auto &f : kFields)
            if (f.argument == cmd.engine_arguments[i])
                args->*f.text = argv[i + 2];
}

} // namespace

bool parse_unsigned(const char *text, uint64_t *value) {
    if (text == nullptr || *text == '\0')
        return false;
    uint64_t v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool engine_special_command(int argc, char **argv, EngineArgs *args) {
    if (argc < 2)
        return false;
    *args = EngineArgs{};
    const EngineCommandInfo *cmd = engine_command_find(argv[1]);
    if (cmd == nullptr || !cmd->special || argc != cmd->engine_argument_count + 2)
        return false;
    args->command = cmd->command;
    take_positional(*cmd, argv, args);
    return true;
}

int engine_parse_general(int argc, char **argv, EngineArgs *args, const char **message) {
    *args = EngineArgs{};
    const char *name = argc >= 2 ? argv[1] : "";

    const EngineCommandInfo *found = find_general(name);
    const int min_argc = found != nullptr ? found->engine_argument_count + 2 : 0;
    // A command with its own usage message takes exactly its arguments.
    if (found != nullptr && found->engine_usage != nullptr && argc != min_argc) {
        *message = found->engine_usage;
        return -EINVAL;
    }
    const EngineCommandInfo *cmd = argc >= 3 ? found : nullptr;
    if (cmd == nullptr) {
        *message = "Expected inspect FILE, verify FILE, export FILE OUTPUT, rekey FILE OUTPUT, "
                   "convert FILE OUTPUT ALGORITHM, or create OUTPUT BYTES FILESYSTEM LABEL.";
        return -EINVAL;
    }
    if (argc < min_argc) {
        *message = "Missing arguments.";
        return -EINVAL;
    }

    uint64_t algorithm = kCipherKeep;
    const int algorithm_index = engine_argument_index(*cmd, EngineArgument::Algorithm);
    if (algorithm_index >= 0) {
        bool ok = parse_unsigned(argv[algorithm_index + 2], &algorithm);
        if (ok && cmd->command == EngineCommand::Replace)
            ok = cipher_is_offered(algorithm) || algorithm == kCipherKeep;
        else if (ok)
            ok = cipher_is_offered(algorithm);
        if (!ok) {
            *message = "Choose an available output algorithm.";
            return -EINVAL;
        }
    }

    const int identity_index = engine_argument_index(*cmd, EngineArgument::Identity);
    if (identity_index >= 0) {
        uint64_t identity = 0;
        if (!parse_unsigned(argv[identity_index + 2], &identity) || identity == 0) {
            *message = "Invalid device identity.";
            return -EINVAL;
        }
        args->identity = identity;
    }

    if (argc == min_argc + 2 && cmd->takes_compression) {
        const char *compression = argv[min_argc];
        const char *chunk = argv[min_argc + 1];
        if (!equals(compression, "fast") && !equals(compression, "off")) {
            *message = "Compression must be fast or off.";
            return -EINVAL;
        }
        if (!equals(chunk, "4096") && !equals(chunk, "16384") && !equals(chunk, "65536")) {
            *message = "Compression chunk size must be 4096, 16384 or 65536.";
            return -EINVAL;
        }
        args->pair_given = true;
        args->compression =
            equals(compression, "fast") ? CompressionChoice::Fast : CompressionChoice::Off;
        uint64_t size = 0;
        parse_unsigned(chunk, &size);
        args->chunk_size = static_cast<uint32_t>(size);
    } else if (argc != min_argc) {
        *message = "Unexpected arguments.";
        return -EINVAL;
    }

    args->command = cmd->command;
    args->reads_credentials = cmd->credential != CredentialKind::None;
    args->credential_kind = static_cast<uint32_t>(cmd->credential);

    take_positional(*cmd, argv, args);

    // The defaults of each command for what was not given.
    switch (cmd->command) {
    case EngineCommand::Rekey:
        args->output_cipher = kCipherKeep;
        if (!args->pair_given) {
            args->chunk_size = kChunkKeepLayout;
            args->compression = CompressionChoice::AsSource;
        }
        break;
    case EngineCommand::Convert:
    case EngineCommand::Image:
        args->output_cipher = static_cast<uint32_t>(algorithm);
        if (!args->pair_given) {
            args->chunk_size = kDefaultChunk;
            args->compression = CompressionChoice::Off;
        }
        break;
    case EngineCommand::Replace:
        args->output_cipher = static_cast<uint32_t>(algorithm);
        if (!args->pair_given) {
            args->chunk_size = kChunkFromSource;
            args->compression = CompressionChoice::AsSource;
        }
        break;
    case EngineCommand::Create:
        // The new container's cipher comes from the credential request.
        args->output_cipher = kCipherKeep;
        if (!args->pair_given) {
            args->chunk_size = kChunkKeepLayout;
            args->compression = CompressionChoice::Off;
        }
        break;
    default:
        break;
    }
    return 0;
}

} // namespace tw
