// The command line with its elevation step replaced, for whole-system tests
// of imaging only; it is built with the tests and never installed. Instead
// of pkexec or sudo, the engine's arguments go to the test's own root
// helper on the socket TW_TEST_ELEVATION_SOCKET, which runs the engine as
// root and answers with its exit code ({"status": N}; -1 for "declined").
#include "cli/cli.h"
#include "runtime/pipes.h"

#include <cerrno>
#include <cstdlib>

namespace {

int elevate_through_test_helper(std::span<const std::string> args) {
    const char *socket = std::getenv("TW_TEST_ELEVATION_SOCKET");
    if (socket == nullptr)
        return -ENOENT;
    tw::FileHandle fd;
    if (int rc = tw::pipe_connect(socket, 2000, &fd))
        return rc;
    tw::JsonValue *request = tw::json_new(tw::JsonKind::Object);
    tw::JsonValue *list = tw::json_new(tw::JsonKind::Array);
    for (const std::string &a : args)
        tw::json_append(list, tw::json_new_string(a.c_str()));
    tw::json_set(request, "args", list);
    int rc = tw::pipe_send_message(fd.get(), request);
    tw::json_free(request);
    tw::JsonValue *reply = nullptr;
    if (rc != 0 || tw::pipe_receive_message(fd.get(), tw::kPipeWaitForever, &reply) != 0)
        return -EIO;
    int status = static_cast<int>(tw::json_get_int(reply, "status", -2));
    tw::json_free(reply);
    return status == -1 ? -ECANCELED : status;
}

} // namespace

int main(int argc, char **argv) {
    tw::engine_set_elevation_for_testing(elevate_through_test_helper);
    return tw::cli_main(argc, argv);
}
