// Feeds arbitrary bytes to one target connection, as an unauthenticated peer
// would: PDU framing, the login loop, key parsing and negotiation.
#include "iscsi/session.h"

#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

uint8_t g_disk[64 * 512];

int disk_read(void *, void *buffer, uint64_t offset, size_t count) {
    memcpy(buffer, g_disk + offset, count);
    return 0;
}
int disk_write(void *, const void *buffer, uint64_t offset, size_t count) {
    memcpy(g_disk + offset, buffer, count);
    return 0;
}
int disk_flush(void *) {
    return 0;
}
bool admit_all(void *, const tw::TargetPeer *) {
    return true;
}

tw::IscsiTarget *make_target() {
    tw::TargetConfig config{};
    strcpy(config.target_name, "iqn.2026-01.fuzz:disk");
    strcpy(config.chap_name, "fuzz");
    memcpy(config.chap_secret, "0123456789abcdef", 16);
    config.chap_secret_length = 16;
    strcpy(config.serial, "FUZZ");
    config.admit = admit_all;
    tw::BlockDevice device{};
    device.size = sizeof g_disk;
    device.read = disk_read;
    device.write = disk_write;
    device.flush = disk_flush;
    uint16_t port = 0;
    return tw::target_create(&config, &device, &port);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static tw::IscsiTarget *target = make_target();
    if (!target)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    // The peer writes the input, then reads whatever the target answers
    // until the target ends the connection.
    std::thread peer([&] {
        size_t sent = 0;
        while (sent < size) {
            ssize_t n = send(pair[1], data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        shutdown(pair[1], SHUT_WR);
        uint8_t sink[4096];
        while (recv(pair[1], sink, sizeof sink, 0) > 0) {
        }
    });
    tw::serve_connection(target, pair[0]);
    shutdown(pair[0], SHUT_RDWR);
    peer.join();
    close(pair[0]);
    close(pair[1]);
    return 0;
}
