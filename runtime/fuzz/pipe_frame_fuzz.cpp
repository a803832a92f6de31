// Any byte stream from a peer is read as a sequence of frames without a
// crash: every frame accepted is one object that, sent again, reads back as
// the same text, and the stream ends with a refusal or a broken stream, never
// a time-out (all its bytes are there).
#include "runtime/pipes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool same_after_resend(const tw::JsonValue *message) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return true; // no resources: nothing to judge
    bool same = false;
    if (tw::pipe_send_message(fds[0], message) == 0) {
        tw::JsonValue *back = nullptr;
        if (tw::pipe_receive_message(fds[1], 1000, &back) == 0) {
            char *a = tw::json_serialize(message);
            char *b = tw::json_serialize(back);
            same = a != nullptr && b != nullptr && strcmp(a, b) == 0;
            tw::json_free_text(a);
            tw::json_free_text(b);
        }
        tw::json_free(back);
    }
    close(fds[0]);
    close(fds[1]);
    return same;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Larger inputs would not fit the socket buffer in one write.
    if (size > 65536)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    if (size > 0 && write(fds[0], data, size) != static_cast<ssize_t>(size))
        abort();
    close(fds[0]);
    for (;;) {
        tw::JsonValue *message = nullptr;
        int rc = tw::pipe_receive_message(fds[1], 1000, &message);
        if (rc != 0) {
            if (message != nullptr || rc == tw::kPipeTimedOut)
                abort();
            break;
        }
        if (message == nullptr || message->kind != tw::JsonKind::Object ||
            !same_after_resend(message))
            abort();
        tw::json_free(message);
    }
    close(fds[1]);
    return 0;
}
