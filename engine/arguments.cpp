#include "engine/arguments.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

bool equals(const char *a, const char *b) {
    return std::strcmp(a, b) == 0;
}

struct GeneralCommand {
    const char *name;
    EngineCommand command;
    int min_argc;        // argc counts the program name and the command
    bool accepts_pair;   // COMPRESSION CHUNK may follow
    int algorithm_index; // argv index of ALGORITHM, 0 when none
    uint32_t credential_kind;
};

// The general commands and their argument shapes. "import-veracrypt" is
// checked for its exact count before this table is consulted.
constexpr GeneralCommand kGeneralCommands[] = {
    {"inspect", EngineCommand::Inspect, 3, false, 0, 0},
    {"verify", EngineCommand::Verify, 3, false, 0, 1},
    {"export", EngineCommand::Export, 4, false, 0, 1},
    {"rekey", EngineCommand::Rekey, 4, true, 0, 2},
    {"convert", EngineCommand::Convert, 5, true, 4, 2},
    {"replace", EngineCommand::Replace, 4, true, 3, 2},
    {"create", EngineCommand::Create, 6, true, 0, 2},
    {"image", EngineCommand::Image, 6, true, 4, 2},
    {"import-veracrypt", EngineCommand::ImportVeracrypt, 4, false, 0, 2},
};

const GeneralCommand *find_general(const char *name) {
    for (const GeneralCommand &c : kGeneralCommands)
        if (equals(c.name, name))
            return &c;
    return nullptr;
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
    const char *name = argv[1];
    *args = EngineArgs{};
    if (argc == 2) {
        if (equals(name, "creation-options"))
            args->command = EngineCommand::CreationOptions;
        else if (equals(name, "devices"))
            args->command = EngineCommand::Devices;
        else if (equals(name, "import-recover"))
            args->command = EngineCommand::ImportRecover;
    } else if (argc == 3 && equals(name, "recover-replacement")) {
        args->command = EngineCommand::RecoverReplacement;
        args->file = argv[2];
    } else if (argc == 5 && equals(name, "approve-imaging")) {
        args->command = EngineCommand::ApproveImaging;
        args->device = argv[2];
        args->identity_text = argv[3];
        args->user = argv[4];
    }
    return args->command != EngineCommand::None;
}

int engine_parse_general(int argc, char **argv, EngineArgs *args, const char **message) {
    *args = EngineArgs{};
    const char *name = argc >= 2 ? argv[1] : "";

    if (equals(name, "import-veracrypt") && argc != 4) {
        *message = "Expected import-veracrypt SOURCE OUTPUT.";
        return -EINVAL;
    }
    const GeneralCommand *cmd = argc >= 3 ? find_general(name) : nullptr;
    if (cmd == nullptr) {
        *message = "Expected inspect FILE, verify FILE, export FILE OUTPUT, rekey FILE OUTPUT, "
                   "convert FILE OUTPUT ALGORITHM, or create OUTPUT BYTES FILESYSTEM LABEL.";
        return -EINVAL;
    }
    if (argc < cmd->min_argc) {
        *message = "Missing arguments.";
        return -EINVAL;
    }

    uint64_t algorithm = kCipherKeep;
    if (cmd->algorithm_index != 0) {
        bool ok = parse_unsigned(argv[cmd->algorithm_index], &algorithm);
        if (ok && cmd->command == EngineCommand::Replace)
            ok = cipher_is_offered(algorithm) || algorithm == kCipherKeep;
        else if (ok)
            ok = cipher_is_offered(algorithm);
        if (!ok) {
            *message = "Choose an available output algorithm.";
            return -EINVAL;
        }
    }

    if (cmd->command == EngineCommand::Image) {
        uint64_t identity = 0;
        if (!parse_unsigned(argv[5], &identity) || identity == 0) {
            *message = "Invalid device identity.";
            return -EINVAL;
        }
        args->identity = identity;
    }

    if (argc == cmd->min_argc + 2 && cmd->accepts_pair) {
        const char *compression = argv[cmd->min_argc];
        const char *chunk = argv[cmd->min_argc + 1];
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
    } else if (argc != cmd->min_argc) {
        *message = "Unexpected arguments.";
        return -EINVAL;
    }

    args->command = cmd->command;
    args->reads_credentials = cmd->credential_kind != 0;
    args->credential_kind = cmd->credential_kind;

    switch (cmd->command) {
    case EngineCommand::Inspect:
    case EngineCommand::Verify:
        args->file = argv[2];
        break;
    case EngineCommand::Export:
    case EngineCommand::ImportVeracrypt:
        args->file = argv[2];
        args->output = argv[3];
        break;
    case EngineCommand::Rekey:
        args->file = argv[2];
        args->output = argv[3];
        args->output_cipher = kCipherKeep;
        if (!args->pair_given) {
            args->chunk_size = kChunkKeepLayout;
            args->compression = CompressionChoice::AsSource;
        }
        break;
    case EngineCommand::Convert:
    case EngineCommand::Image:
        if (cmd->command == EngineCommand::Convert) {
            args->file = argv[2];
            args->output = argv[3];
        } else {
            args->device = argv[2];
            args->output = argv[3];
        }
        args->output_cipher = static_cast<uint32_t>(algorithm);
        if (!args->pair_given) {
            args->chunk_size = kDefaultChunk;
            args->compression = CompressionChoice::Off;
        }
        break;
    case EngineCommand::Replace:
        args->file = argv[2];
        args->output_cipher = static_cast<uint32_t>(algorithm);
        if (!args->pair_given) {
            args->chunk_size = kChunkFromSource;
            args->compression = CompressionChoice::AsSource;
        }
        break;
    case EngineCommand::Create:
        args->output = argv[2];
        args->bytes = argv[3];
        args->fs = argv[4];
        args->label = argv[5];
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
