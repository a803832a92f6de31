// The import worker: parses the VeraCrypt file and writes the new container
// into the staged file, inside the sandbox, speaking only the records of
// import_protocol.h.
#include "container/container.h"
#include "container/keys/system_key.h"
#include "engine/import_protocol.h"
#include "engine/veracrypt.h"
#include "platform/io.h"
#include "platform/process.h"
#include "platform/sandbox.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr uint64_t kWorkingSetGrowth = 1u << 20;
constexpr uint64_t kProgressIntervalNs = 250'000'000;

ImportWorkerHook g_hook = nullptr;

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
void put64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t get64(const uint8_t *p) {
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

// A whole decimal descriptor number, as the parent wrote it.
bool parse_descriptor(const char *text, int expected) {
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == 0 && text[0] != '-' && text[0] != '+' &&
           value == static_cast<unsigned long long>(expected);
}

// "Tarnwick.Import." and 32 lower-case hexadecimal digits: the name the
// parent gave this sandbox.
bool sandbox_name_is_valid(const char *name) {
    constexpr const char *kPrefix = "Tarnwick.Import.";
    const size_t prefix = std::strlen(kPrefix);
    if (std::strncmp(name, kPrefix, prefix) != 0 || std::strlen(name) != prefix + 32)
        return false;
    for (const char *p = name + prefix; *p != 0; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    return true;
}

bool descriptor_is(int fd, mode_t type) {
    struct stat st;
    return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

int send_record(uint32_t type, uint32_t phase, int result, uint64_t total, uint64_t done) {
    ImportRecord r;
    r.type = type;
    r.phase = phase;
    r.result = result;
    r.total = total;
    r.done = done;
    uint8_t bytes[kImportRecordSize];
    import_record_encode(r, bytes);
    return write_full(kImportStatusFd, bytes, sizeof bytes);
}

uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

struct ProgressState {
    uint32_t phase = 0;
    uint64_t last_sent = 0;
};

// Type-3 records at most four times a second, except that the first and the
// last report of each phase always go out. A failed send ends the worker.
void report_progress(const char *phase_name, uint64_t done, uint64_t total, void *data) {
    auto *state = static_cast<ProgressState *>(data);
    const uint32_t phase =
        std::strcmp(phase_name, "verifying") == 0 ? kImportPhaseVerifying : kImportPhaseImporting;
    const uint64_t now = now_ns();
    const bool edge = done == 0 || done == total || phase != state->phase;
    if (!edge && now - state->last_sent < kProgressIntervalNs)
        return;
    state->phase = phase;
    state->last_sent = now;
    if (send_record(kImportProgress, phase, 0, total, done) != 0)
        _exit(kWorkerFailed);
}

// Receives one message of exactly `size` bytes; with `fds` it must carry
// exactly `fd_count` descriptors (which land in `fds`), else none.
int receive_message(uint8_t *buffer, size_t size, int *fds, size_t fd_count) {
    iovec io{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t got = receive_message_some(kImportInputFd, &m, MSG_CMSG_CLOEXEC);
    if (got < 0)
        return int(got);
    size_t received = 0;
    int descriptors[4];
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (received < 4)
                descriptors[received++] = fd;
            else
                close(fd);
        }
    }
    bool ok = size_t(got) == size && (m.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
              received == fd_count;
    for (size_t i = 0; i < received; ++i) {
        if (ok)
            fds[i] = descriptors[i];
        else
            close(descriptors[i]);
    }
    return ok ? 0 : -EPROTO;
}

bool nul_within(const uint8_t *field, size_t size, size_t *length) {
    const void *nul = std::memchr(field, 0, size);
    if (nul == nullptr)
        return false;
    *length = static_cast<size_t>(static_cast<const uint8_t *>(nul) - field);
    return true;
}

// Steps 5 to 8 for an opened volume: the output request, the copy, the
// final record. Returns the exit code.
int import_into_staged_file(VeraCryptVolume *volume, uint8_t *request) {
    int fds[2] = {-1, -1};
    int error = receive_message(request, kImportOutputRequestSize, fds, 2);
    size_t password_length = 0, key_length = 0;
    if (error == 0 &&
        (get64(request) != 0 || get64(request + 8) != 1 ||
         !nul_within(request + kImportNewPasswordOffset, kImportNewPasswordField,
                     &password_length) ||
         !nul_within(request + kImportSystemKeyOffset, kImportSystemKeyField, &key_length)))
        error = -EPROTO;
    if (error == 0)
        error = key_length == 0
                    ? system_key_set_default()
                    : system_key_set_hex(
                          {reinterpret_cast<const char *>(request + kImportSystemKeyOffset),
                           key_length});
    if (error == 0) {
        ProgressState progress;
        ImportStream in;
        in.size = veracrypt_data_size(volume);
        in.read = veracrypt_read;
        in.user = volume;
        in.source_fd = kImportSourceFd;
        in.output_fd = fds[0];
        in.output_read_fd = fds[1];
        in.password = request + kImportNewPasswordOffset;
        in.password_length = password_length;
        in.progress = report_progress;
        in.progress_data = &progress;
        error = container_import_stream(in);
    }
    secure_wipe(request, kImportOutputRequestSize);
    system_key_forget();
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    const uint64_t total = veracrypt_data_size(volume);
    int sent = send_record(kImportFinished, 0, error, total, total);
    return error == 0 && sent == 0 ? 0 : kWorkerFailed;
}

} // namespace

void import_record_encode(const ImportRecord &r, uint8_t bytes[kImportRecordSize]) {
    put32(bytes, r.type);
    put32(bytes + 4, r.phase);
    put32(bytes + 8, static_cast<uint32_t>(r.result));
    put32(bytes + 12, r.reserved);
    put64(bytes + 16, r.total);
    put64(bytes + 24, r.done);
}

bool import_record_decode(const uint8_t bytes[kImportRecordSize], ImportRecord *r) {
    r->type = get32(bytes);
    r->phase = get32(bytes + 4);
    r->result = static_cast<int32_t>(get32(bytes + 8));
    r->reserved = get32(bytes + 12);
    r->total = get64(bytes + 16);
    r->done = get64(bytes + 24);
    return r->type >= kImportStarted && r->type <= kImportFinished && r->reserved == 0 &&
           r->done <= r->total;
}

void import_worker_set_hook_for_testing(ImportWorkerHook hook) {
    g_hook = hook;
}

int import_worker_main(int argc, char **argv) {
    if (argc < 6 || !sandbox_name_is_valid(argv[2]))
        return kWorkerFailed;
    if (!parse_descriptor(argv[3], kImportSourceFd) || !parse_descriptor(argv[4], kImportInputFd) ||
        !parse_descriptor(argv[5], kImportStatusFd) || !descriptor_is(kImportSourceFd, S_IFREG) ||
        !descriptor_is(kImportInputFd, S_IFSOCK) || !descriptor_is(kImportStatusFd, S_IFIFO))
        return kWorkerBadDescriptors;

    // Limits can no longer be raised once the filter is in, so the locked
    // memory the worker needs is asked for before it enters the sandbox.
    raise_locked_memory_limit(kWorkingSetGrowth);
    int status = sandbox_open_status();
    if (status < 0 || sandbox_enter() != 0 || sandbox_prove(status) != 0)
        return kWorkerNotSandboxed;
    close(status);
    if (g_hook != nullptr)
        g_hook(kImportStatusFd);

    SecureBuffer password(kImportPasswordMessageSize), request(kImportOutputRequestSize);
    if (!password.valid() || !request.valid())
        return kWorkerNoMemory;
    if (send_record(kImportStarted, 0, 0, 0, 0) != 0)
        return kWorkerCannotReport;

    int error = receive_message(password.data(), kImportPasswordMessageSize, nullptr, 0);
    size_t length = 0;
    if (error == 0 && !nul_within(password.data(), kImportPasswordMessageSize, &length))
        error = -EPROTO;
    VeraCryptVolume *volume = nullptr;
    if (error == 0)
        error = veracrypt_open(kImportSourceFd, password.data(), length, &volume);
    password.wipe();
    const uint64_t total = volume ? veracrypt_data_size(volume) : 0;
    if (send_record(kImportVolumeOpened, 0, error, total, 0) != 0 || error != 0) {
        veracrypt_close(volume);
        return kWorkerFailed;
    }
    int code = import_into_staged_file(volume, request.data());
    veracrypt_close(volume);
    return code;
}

} // namespace tw
