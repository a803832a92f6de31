// Device imaging from a front-end: the elevated approval, then the capture.
#include "client/client.h"

#include "platform/folders.h"
#include "platform/process.h"
#include "runtime/engine_commands.h"

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr int kApprovalWaitMs = 120000;
constexpr int kPollMs = 100;
// pkexec's exit code when the user dismissed the authentication dialog or was
// not authorised.
constexpr int kPkexecDeclined = 126;

constexpr const char *kDeclined =
    "Device imaging needs an administrator's approval, which was not given.";
constexpr const char *kNotRecorded =
    "The administrator's approval for imaging could not be recorded.";
constexpr const char *kCompressionMessage =
    "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes.";

ElevationFn g_elevation = nullptr;

std::string first_program(std::initializer_list<const char *> candidates) {
    for (const char *path : candidates)
        if (access(path, X_OK) == 0)
            return path;
    return {};
}

} // namespace

void engine_set_elevation_for_testing(ElevationFn elevation) {
    g_elevation = elevation;
}

int engine_run_elevated(std::span<const std::string> args) {
    if (g_elevation != nullptr)
        return g_elevation(args);
    std::string engine;
    if (program_file_path("tarnwick-engine", &engine) != 0)
        return -ENOENT;
    std::string tool = first_program({"/usr/bin/pkexec", "/bin/pkexec"});
    const bool pkexec = !tool.empty();
    if (!pkexec)
        tool = first_program({"/usr/bin/sudo", "/bin/sudo"});
    if (tool.empty())
        return -ENOENT;
    std::vector<std::string> argv{tool};
    if (!pkexec)
        argv.emplace_back("--"); // sudo takes no option from what follows
    argv.push_back(engine);
    argv.insert(argv.end(), args.begin(), args.end());
    // The authentication agent or sudo's prompt talk to the user's terminal.
    LaunchOptions options;
    options.stdin_fd = STDIN_FILENO;
    options.stderr_fd = STDERR_FILENO;
    options.kill_with_parent = true;
    LaunchedProcess child;
    if (int rc = launch_process(argv, options, &child))
        return rc;
    if (child.pidfd >= 0)
        close(child.pidfd);
    int status = 0;
    for (int waited = 0;; waited += kPollMs) {
        pid_t done = process_wait(child.pid, &status, WNOHANG);
        if (done < 0)
            return done;
        if (done == child.pid)
            break;
        if (waited >= kApprovalWaitMs) {
            kill(child.pid, SIGKILL);
            process_wait(child.pid, &status, 0);
            return -ETIMEDOUT;
        }
        usleep(kPollMs * 1000);
    }
    // Interrupting the prompt (Ctrl+C) is declining it too.
    if (WIFSIGNALED(status))
        return -ECANCELED;
    int code = WEXITSTATUS(status);
    if (pkexec && code == kPkexecDeclined)
        return -ECANCELED;
    return code;
}

int engine_image(EngineRunContext *ctx, const ImageOperation &op, ClientOutcome *out) {
    out->reset();
    if (op.compression.given &&
        !((op.compression.mode == "off" || op.compression.mode == "fast") &&
          (op.compression.chunk_size == 4096 || op.compression.chunk_size == 16384 ||
           op.compression.chunk_size == 65536)))
        return client_fail(out, "usage", kCompressionMessage);
    std::string output;
    if (resolve_full_path(op.output, &output) != 0)
        return client_fail(out, "usage", "Choose an output file.");
    if (op.device.empty() || op.identity == 0)
        return client_fail(out, "imaging", "Choose an eligible source from tarnwick devices.");
    // A new password that could never be accepted fails before anyone is
    // asked for an approval.
    CredentialInput in;
    in.kind = 2;
    in.cipher = op.algorithm;
    in.new_password = op.new_password;
    in.confirmation = op.confirmation;
    in.system_key = op.system_key;
    SecureBuffer request;
    if (int rc = credential_request_build(in, &request, out))
        return rc;
    if (ctx->cancel_requested.load())
        return client_fail(out, "cancelled", "Operation cancelled.");

    const std::string identity = std::to_string(op.identity);
    const std::string approval[] = {engine_command_name(EngineCommand::ApproveImaging), op.device,
                                    identity, std::to_string(geteuid())};
    int status = engine_run_elevated(approval);
    if (status == -ECANCELED)
        return client_fail(out, "cancelled", kDeclined);
    if (status != 0)
        return client_fail(out, "imaging", kNotRecorded);

    std::vector<std::string> args{engine_command_name(EngineCommand::Image), op.device, output,
                                  std::to_string(op.algorithm), identity};
    if (op.compression.given) {
        args.push_back(op.compression.mode);
        args.push_back(std::to_string(op.compression.chunk_size));
    }
    return engine_run(ctx, args, request.span(), out);
}

} // namespace tw
