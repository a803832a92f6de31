// Test and benchmark helper: serves one file through the iSCSI target.
//
//   target-serve [--writable] [--write-protect-switch] [--admit-initiator]
//                [--secret-fd N] FILE TARGET-NAME CHAP-NAME
//
// The CHAP secret (12 to 16 bytes) is read from standard input, or from the
// inherited descriptor N, up to the first newline; never from the command
// line. Any process on 127.0.0.1 is admitted (test use only), or with
// --admit-initiator only the initiator service published in
// /run/tarnwick/initiator.pid, as in production. Prints the port
// on standard output and serves until SIGTERM or SIGINT.
#include "iscsi/target.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

tw::IscsiTarget *g_target = nullptr;

void on_signal(int) {
    if (g_target)
        tw::target_stop(g_target);
}

int file_read(void *context, void *buffer, uint64_t offset, size_t count) {
    return tw::pread_full(*static_cast<int *>(context), buffer, count, offset);
}

int file_write(void *context, const void *buffer, uint64_t offset, size_t count) {
    return tw::pwrite_full(*static_cast<int *>(context), buffer, count, offset);
}

int file_flush(void *context) {
    return tw::file_flush_data(*static_cast<int *>(context));
}

bool admit_any(void *, const tw::TargetPeer *) {
    return true;
}

// Reads the secret up to a newline or the end of input.
size_t read_secret(int fd, uint8_t *secret, size_t capacity) {
    size_t length = 0;
    while (length < capacity) {
        uint8_t byte;
        ssize_t n = tw::read_some(fd, &byte, 1);
        if (n <= 0 || byte == '\n')
            break;
        secret[length++] = byte;
    }
    return length;
}

bool copy_text(char *to, size_t size, const char *from) {
    if (strlen(from) >= size)
        return false;
    strcpy(to, from);
    return true;
}

int usage() {
    fprintf(stderr, "usage: target-serve [--writable] [--write-protect-switch] "
                    "[--admit-initiator] [--secret-fd N] FILE TARGET-NAME CHAP-NAME\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    bool writable = false;
    bool switch_permitted = false;
    bool admit_initiator = false;
    int secret_fd = 0;
    int arg = 1;
    for (; arg < argc && strncmp(argv[arg], "--", 2) == 0; ++arg) {
        if (strcmp(argv[arg], "--writable") == 0)
            writable = true;
        else if (strcmp(argv[arg], "--write-protect-switch") == 0)
            switch_permitted = true;
        else if (strcmp(argv[arg], "--admit-initiator") == 0)
            admit_initiator = true;
        else if (strcmp(argv[arg], "--secret-fd") == 0 && arg + 1 < argc)
            secret_fd = atoi(argv[++arg]);
        else
            return usage();
    }
    if (argc - arg != 3)
        return usage();

    int fd = open(argv[arg], (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    tw::FileStatus st;
    if (fd < 0 || tw::file_status(fd, &st) != 0) {
        perror(argv[arg]);
        return 1;
    }

    tw::TargetConfig config{};
    tw::BlockDevice device{};
    if (!copy_text(config.target_name, sizeof config.target_name, argv[arg + 1]) ||
        !copy_text(config.chap_name, sizeof config.chap_name, argv[arg + 2]))
        return usage();
    config.chap_secret_length =
        read_secret(secret_fd, config.chap_secret, sizeof config.chap_secret);
    strcpy(config.serial, "0123456789abcdef0123456789abcdef");
    static const uint8_t naa[8] = {0x60, 0x01, 0x40, 0x5a, 0x12, 0x34, 0x56, 0x78};
    memcpy(config.naa, naa, sizeof naa);
    config.admit = admit_initiator ? nullptr : admit_any;

    device.context = &fd;
    device.size = st.size;
    device.read_only = !writable;
    device.removable = 1;
    device.read = file_read;
    device.write = file_write;
    device.flush = file_flush;
    device.write_protect_switch_permitted = switch_permitted;

    uint16_t port = 0;
    g_target = tw::target_create(&config, &device, &port);
    tw::secure_wipe(&config, sizeof config);
    if (!g_target) {
        fprintf(stderr, "target-serve: cannot create the target: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("%u\n", port);
    fflush(stdout);
    int rc = tw::target_serve(g_target);
    tw::target_destroy(g_target);
    close(fd);
    return rc == 0 ? 0 : 1;
}
