// The engine operations a front-end asks for: the argument vectors, the
// checks made before anything starts, and the credential request.
#include "client/client.h"

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace tw {

namespace {

constexpr size_t kPathLimit = 32767;

struct FileCommand {
    const char *name;
    bool has_output;
    bool has_algorithm;
    bool takes_compression;
    uint32_t credential_kind; // 0: none
};

constexpr FileCommand kFileCommands[] = {
    {"inspect", false, false, false, 0},
    {"verify", false, false, false, 1},
    {"export", true, false, false, 1},
    {"rekey", true, false, true, 2},
    {"convert", true, true, true, 2},
    {"replace", false, true, true, 2},
    {"import-veracrypt", true, false, false, 2},
};

const FileCommand *find_file_command(std::string_view name) {
    for (const FileCommand &c : kFileCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

constexpr const char *kCompressionMessage =
    "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes.";

// Sizes from 2^44 MiB on overflow the engine's byte count.
constexpr uint64_t kCreateSizeLimitMib = uint64_t{1} << 44;

bool compression_valid(const CompressionChoice &c) {
    return (c.mode == "off" || c.mode == "fast") &&
           (c.chunk_size == 4096 || c.chunk_size == 16384 || c.chunk_size == 65536);
}

void add_compression(const CompressionChoice &c, std::vector<std::string> *args) {
    if (c.given) {
        args->push_back(c.mode);
        args->push_back(std::to_string(c.chunk_size));
    }
}

} // namespace

bool file_operation_takes_new_password(std::string_view command) {
    const FileCommand *c = find_file_command(command);
    return c != nullptr && c->credential_kind == 2;
}

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
    const std::string args[] = {"creation-options"};
    return engine_run(ctx, args, {}, out);
}

int engine_recover_replacement(EngineRunContext *ctx, std::string_view path, ClientOutcome *out) {
    std::string full;
    if (resolve_full_path(path, &full) != 0)
        return client_fail(out, "source", "Select an existing regular container file.");
    const std::string args[] = {"recover-replacement", full};
    return engine_run(ctx, args, {}, out);
}

int engine_devices(EngineRunContext *ctx, ClientOutcome *out) {
    const std::string args[] = {"devices"};
    return engine_run(ctx, args, {}, out);
}

int engine_create(EngineRunContext *ctx, const CreateOperation &op, ClientOutcome *out) {
    out->reset();
    if (op.size_mib >= kCreateSizeLimitMib)
        return client_fail(out, "usage", "Invalid creation request.");
    if (op.compression.given && !compression_valid(op.compression))
        return client_fail(out, "usage", kCompressionMessage);
    std::string output;
    if (resolve_full_path(op.output, &output) != 0)
        return client_fail(out, "usage", "Choose an output file.");
    std::vector<std::string> args{"create", output, std::to_string(op.size_mib << 20),
                                  op.filesystem, op.label};
    add_compression(op.compression, &args);
    CredentialInput in;
    in.kind = 2;
    in.cipher = op.algorithm;
    in.new_password = op.new_password;
    in.confirmation = op.confirmation;
    SecureBuffer request;
    int rc = credential_request_build(in, &request, out);
    if (rc != 0)
        return rc;
    return engine_run(ctx, args, request.span(), out);
}

int engine_file_operation(EngineRunContext *ctx, const FileOperation &op, ClientOutcome *out) {
    out->reset();
    const FileCommand *command = find_file_command(op.command);
    if (command == nullptr)
        return client_fail(out, "usage", "Unknown command. Run tarnwick --help.");
    if (op.compression.given && !command->takes_compression)
        return client_fail(out, "usage",
                           "Compression applies only to encrypted copies or replacement.");
    if (op.compression.given && !compression_valid(op.compression))
        return client_fail(out, "usage", kCompressionMessage);
    std::string input;
    if (resolve_full_path(op.input, &input) != 0)
        return client_fail(out, "source", "Select an existing regular container file.");
    std::string output;
    if (command->has_output && resolve_full_path(op.output, &output) != 0)
        return client_fail(out, "usage", "Choose an output file.");

    std::vector<std::string> args{command->name, input};
    if (command->has_output)
        args.push_back(output);
    if (command->has_algorithm)
        args.push_back(std::to_string(op.algorithm));
    add_compression(op.compression, &args);

    SecureBuffer request;
    if (command->credential_kind != 0) {
        CredentialInput in;
        in.kind = command->credential_kind;
        in.cipher = 255; // the engine detects the source's cipher
        in.password = op.password;
        if (in.kind == 2) {
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
