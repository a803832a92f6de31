#include "gui/tests/support/scripted_backend.h"

#include "platform/clock.h"

#include <thread>

namespace tw {

namespace {

void note(const std::string &call) {
    std::lock_guard lock(scripted().mutex);
    scripted().calls.push_back(call);
}

void note_unlocking(const std::string &call, std::span<const uint8_t> key, uint32_t cipher) {
    std::lock_guard lock(scripted().mutex);
    scripted().unlocking.push_back(call + " " + std::string(key.begin(), key.end()) + " " +
                                   std::to_string(cipher));
}

int answer(const std::string &text, const std::string &error, ClientOutcome *out) {
    if (text.empty())
        return client_fail(out, "engine", error);
    out->result = json_parse_text(text.c_str());
    return out->result != nullptr ? 0 : client_fail(out, "protocol", "bad script");
}

int status(bool, ClientOutcome *out) {
    std::string text, error;
    {
        std::lock_guard lock(scripted().mutex);
        text = scripted().status;
        error = scripted().service_error;
    }
    if (text.empty())
        return client_fail(out, "service", error);
    return answer(text, error, out);
}

int sessions_reply(ClientOutcome *out) {
    ClientOutcome all;
    if (status(false, &all) != 0)
        return client_fail(out, all.code, all.message);
    out->result = json_clone(json_get(all.result, "sessions"));
    return 0;
}

int mount(const MountRequest &request, ClientOutcome *out) {
    note("mount " + request.path);
    note_unlocking("mount", request.system_key, request.unlock_cipher);
    return sessions_reply(out);
}

int unmount(std::string_view id, ClientOutcome *out) {
    note("unmount " + std::string(id));
    return sessions_reply(out);
}

int repair(std::string_view path, std::span<const uint8_t>, std::span<const uint8_t> key,
           uint32_t cipher, ClientOutcome *out) {
    note("repair " + std::string(path));
    note_unlocking("repair", key, cipher);
    std::string report;
    {
        std::lock_guard lock(scripted().mutex);
        report = scripted().repair_report;
    }
    return answer(report, "", out);
}

int login(ClientOutcome *out) {
    note("login");
    return status(false, out);
}

int forget(std::string_view id, ClientOutcome *out) {
    note("forget " + std::string(id));
    return answer("{}", "", out);
}

int preferences(std::string_view id, const JsonValue *, ClientOutcome *out) {
    note("preferences " + std::string(id));
    return sessions_reply(out);
}

int restart(ClientOutcome *out) {
    note("restart");
    return status(false, out);
}

int file_operation(EngineRunContext *ctx, const FileOperation &op, ClientOutcome *out) {
    note(op.command + " " + op.input);
    note_unlocking(op.command, op.system_key, op.unlock_cipher);
    while (scripted().hold.load() && !ctx->cancel_requested.load())
        sleep_ms(5);
    if (ctx->cancel_requested.load())
        return client_fail(out, "cancelled", "Operation cancelled.");
    std::string summary, error;
    {
        std::lock_guard lock(scripted().mutex);
        summary = scripted().summary;
        error = scripted().engine_error;
    }
    return answer(summary, error, out);
}

int create(EngineRunContext *, const CreateOperation &op, ClientOutcome *out) {
    note("create " + op.output);
    return answer(scripted().summary, scripted().engine_error, out);
}

int image(EngineRunContext *, const ImageOperation &op, ClientOutcome *out) {
    note("image " + op.output);
    return answer(scripted().summary, scripted().engine_error, out);
}

int recover(EngineRunContext *, std::string_view path, ClientOutcome *out) {
    note("recover-replacement " + std::string(path));
    return answer("{}", "", out);
}

int run(EngineRunContext *, std::span<const std::string> args, std::span<const uint8_t>,
        ClientOutcome *out) {
    note(args.empty() ? std::string() : args[0]);
    return answer(R"({"importRecordsKept":0})", "", out);
}

} // namespace

ScriptedBackend &scripted() {
    static ScriptedBackend backend;
    return backend;
}

GuiBackend scripted_backend() {
    GuiBackend b;
    b.status = status;
    b.mount = mount;
    b.unmount = unmount;
    b.repair = repair;
    b.login = login;
    b.forget = forget;
    b.preferences = preferences;
    b.restart = restart;
    b.file_operation = file_operation;
    b.create = create;
    b.image = image;
    b.recover = recover;
    b.run = run;
    return b;
}

std::vector<std::string> scripted_calls() {
    std::lock_guard lock(scripted().mutex);
    return scripted().calls;
}

} // namespace tw
