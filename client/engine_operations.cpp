// The engine operations a front-end asks for: the argument vectors, the
// checks made before anything starts, and the credential request.
#include "client/client.h"

#include "runtime/cipher_id.h"
#include "runtime/engine_commands.h"

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace tw {

namespace {

constexpr size_t kPathLimit = 32767;

// A file operation: a general engine command whose arguments are an existing
// file, then maybe an output and the new container's cipher.
const EngineCommandInfo *find_file_command(std::string_view name) {
    const EngineCommandInfo *c = engine_command_find(name);
    if (c == nullptr || c->special || c->engine_argument_count == 0 ||
        c->engine_arguments[0] != EngineArgument::File)
        return nullptr;
    for (int i = 1; i < c->engine_argument_count; ++i)
        if (c->engine_arguments[i] != EngineArgument::Output &&
            c->engine_arguments[i] != EngineArgument::Algorithm)
            return nullptr;
    return c;
}

// The texts of the engine's positional arguments that this library sends.
struct ArgumentTexts {
    std::string file;
    std::string output;
    std::string algorithm;
    std::string bytes;
    std::string filesystem;
    std::string label;
};

constexpr const char *kCompressionMessage =
    "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes.";

// Sizes from 2^44 MiB on overflow the engine's byte count.
constexpr uint64_t kCreateSizeLimitMib = uint64_t{1} << 44;

bool compression_valid(const CompressionChoice &c) {
    return (c.mode == "off" || c.mode == "fast") &&
           (c.chunk_size == 4096 || c.chunk_size == 16384 || c.chunk_size == 65536);
}

// The engine's arguments for a command: its word, its positional arguments
// in the table's order, then the compression pair when given.
std::vector<std::string> engine_arguments(const EngineCommandInfo &command,
                                          const ArgumentTexts &texts,
                                          const CompressionChoice &compression) {
    // Where each argument's text is; devices, identities and users are sent
    // only by commands this library does not run.
    static constexpr struct {
        EngineArgument argument;
        std::string ArgumentTexts::*text;
    } kTexts[] = {
        {EngineArgument::File, &ArgumentTexts::file},
        {EngineArgument::Output, &ArgumentTexts::output},
        {EngineArgument::Algorithm, &ArgumentTexts::algorithm},
        {EngineArgument::Bytes, &ArgumentTexts::bytes},
        {EngineArgument::Filesystem, &ArgumentTexts::filesystem},
        {EngineArgument::Label, &ArgumentTexts::label},
    };
    std::vector<std::string> args{command.engine_name};
    for (int i = 0; i < command.engine_argument_count; ++i)
        for (const auto &t : kTexts)
            if (t.argument == command.engine_arguments[i])
                args.push_back(texts.*t.text);
    if (compression.given) {
        args.push_back(compression.mode);
        args.push_back(std::to_string(compression.chunk_size));
    }
    return args;
}

} // namespace

int resolve_full_path(std::string_view path, std::string *out) {
    if (path.empty() || path.size() > kPathLimit || path.find('\0') != std::string_view::npos)
        return -EINVAL;
    std::string joined;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr)
            return -errno;
        joined = cwd;
        joined += '/';
    }
    joined += path;
    // Drop "." segments and repeated slashes; keep everything else as typed.
    std::string full;
    size_t i = 0;
    while (i < joined.size()) {
        size_t next = joined.find('/', i);
        if (next == std::string::npos)
            next = joined.size();
        std::string_view segment(joined.data() + i, next - i);
        if (!segment.empty() && segment != ".") {
            full += '/';
            full += segment;
        }
        i = next + 1;
    }
    // A fresh string rather than assigning a literal: GCC 12 at -O3 reports a
    // false overlap (-Wrestrict) for the assignment.
    if (full.empty())
        full = std::string(1, '/');
    if (full.size() > kPathLimit)
        return -EINVAL;
    *out = std::move(full);
    return 0;
}

int engine_creation_options(EngineRunContext *ctx, ClientOutcome *out) {
    const std::string args[] = {engine_command_name(EngineCommand::CreationOptions)};
    return engine_run(ctx, args, {}, out);
}

int engine_recover_replacement(EngineRunContext *ctx, std::string_view path, ClientOutcome *out) {
    std::string full;
    if (resolve_full_path(path, &full) != 0)
        return client_fail(out, "source", "Select an existing regular container file.");
    const std::string args[] = {engine_command_name(EngineCommand::RecoverReplacement), full};
    return engine_run(ctx, args, {}, out);
}

int engine_devices(EngineRunContext *ctx, ClientOutcome *out) {
    const std::string args[] = {engine_command_name(EngineCommand::Devices)};
    return engine_run(ctx, args, {}, out);
}

int engine_benchmark(EngineRunContext *ctx, ClientOutcome *out) {
    const std::string args[] = {engine_command_name(EngineCommand::Benchmark)};
    return engine_run(ctx, args, {}, out);
}

int engine_create(EngineRunContext *ctx, const CreateOperation &op, ClientOutcome *out) {
    out->reset();
    if (op.size_mib >= kCreateSizeLimitMib)
        return client_fail(out, "usage", "Invalid creation request.");
    if (op.compression.given && !compression_valid(op.compression))
        return client_fail(out, "usage", kCompressionMessage);
    ArgumentTexts texts;
    if (resolve_full_path(op.output, &texts.output) != 0)
        return client_fail(out, "usage", "Choose an output file.");
    const EngineCommandInfo &command = *engine_command_info(EngineCommand::Create);
    texts.bytes = std::to_string(op.size_mib << 20);
    texts.filesystem = op.filesystem;
    texts.label = op.label;
    std::vector<std::string> args = engine_arguments(command, texts, op.compression);
    CredentialInput in;
    in.kind = static_cast<uint32_t>(command.credential);
    in.cipher = op.algorithm;
    in.new_password = op.new_password;
    in.confirmation = op.confirmation;
    in.system_key = op.system_key;
    SecureBuffer request;
    int rc = credential_request_build(in, &request, out);
    if (rc != 0)
        return rc;
    return engine_run(ctx, args, request.span(), out);
}

int engine_file_operation(EngineRunContext *ctx, const FileOperation &op, ClientOutcome *out) {
    out->reset();
    const EngineCommandInfo *command = find_file_command(op.command);
    if (command == nullptr)
        return client_fail(out, "usage", "Unknown command. Run tarnwick --help.");
    if (op.compression.given && !command->takes_compression)
        return client_fail(out, "usage",
                           "Compression applies only to encrypted copies or replacement.");
    if (op.compression.given && !compression_valid(op.compression))
        return client_fail(out, "usage", kCompressionMessage);
    ArgumentTexts texts;
    if (resolve_full_path(op.input, &texts.file) != 0)
        return client_fail(out, "source", "Select an existing regular container file.");
    if (engine_argument_index(*command, EngineArgument::Output) >= 0 &&
        resolve_full_path(op.output, &texts.output) != 0)
        return client_fail(out, "usage", "Choose an output file.");
    texts.algorithm = std::to_string(op.algorithm);
    std::vector<std::string> args = engine_arguments(*command, texts, op.compression);

    SecureBuffer request;
    if (command->credential != CredentialKind::None) {
        CredentialInput in;
        in.kind = static_cast<uint32_t>(command->credential);
        in.cipher = op.unlock_cipher; // kCipherUnset: the engine detects it
        in.password = op.password;
        in.system_key = op.system_key;
        if (command->credential == CredentialKind::CurrentAndNew) {
            in.new_password = op.new_password;
            in.confirmation = op.confirmation;
        }
        int rc = credential_request_build(in, &request, out);
        if (rc != 0)
            return rc;
    }
    // The request is wiped when it goes out of scope, right after the run.
    return engine_run(ctx, args, request.span(), out);
}

} // namespace tw
