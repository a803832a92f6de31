// The loopback iSCSI target: one LUN, one connection at a time, mandatory
// CHAP, serving a block device through the owner's callbacks.
//
// Life cycle: target_create (listening on 127.0.0.1, ephemeral port) ->
// target_serve on one thread until target_stop -> target_destroy after
// target_serve has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

// The remote end of an accepted connection and the listening port it reached.
struct TargetPeer {
    uint32_t address;     // IPv4 address in network byte order
    uint16_t port;        // remote port, host byte order
    uint16_t listen_port; // the target's port, host byte order
};

// Admission rule: true admits the connection, false closes it before any byte
// of iSCSI is read or written. Runs on the serving thread.
using TargetAdmit = bool (*)(void *context, const TargetPeer *peer);

struct TargetConfig {
    char target_name[224]; // IQN the initiator must log into, NUL-terminated
    char chap_name[64];    // the only accepted CHAP_N, NUL-terminated
    uint8_t chap_secret[16];
    uint64_t chap_secret_length; // 12 to 16
    char serial[33];             // unit serial number, NUL-terminated
    uint8_t naa[8];              // NAA identifier for VPD page 0x83
    // Admission rule; null selects target_admit_initiator with admit_context.
    TargetAdmit admit;
    void *admit_context;
};

// The length of the CHAP secret a program gives its target.
inline constexpr size_t kTargetSecretLength = 16;

// Fills the target's name, the product's CHAP name, a new random secret
// (also written as text into `secret`) and a random NAA identifier, and
// admits only the published initiator; the serial number is the caller's.
// 0; -EINVAL for a name that does not fit; -EIO when the random source
// failed.
int target_config_prepare(TargetConfig *config, std::string_view name,
                          char secret[kTargetSecretLength + 1]);

struct BlockDevice {
    void *context;
    uint64_t size; // bytes; nonzero multiple of 512
    uint8_t read_only;
    uint8_t removable;
    // 0 or a negative errno: -EACCES/-EROFS mean write-protected, -ENOSPC
    // means space could not be allocated, anything else is a medium error.
    int (*read)(void *context, void *buffer, uint64_t offset, size_t count);
    int (*write)(void *context, const void *buffer, uint64_t offset, size_t count);
    int (*flush)(void *context);
    // Optional: called with active = 1 before and active = 0 (with the result)
    // after every read, write and flush.
    void (*activity)(void *context, int active, int succeeded);
    // Optional: called once when the initiator ejects the medium.
    void (*eject)(void *context);
    uint8_t write_protect_switch_permitted; // vendor command 0xC0 allowed
};

struct IscsiTarget;

// Creates a target listening on 127.0.0.1 with a port chosen by the system,
// written to *port. Returns null with errno set: EINVAL (bad secret length,
// size, missing callback or unterminated name), ENOMEM, EADDRNOTAVAIL (socket,
// bind, listen or getsockname failed). Both structures are copied; the caller
// wipes its own copy of the configuration.
IscsiTarget *target_create(const TargetConfig *config, const BlockDevice *device, uint16_t *port);

// Runs the accept loop on the calling thread until target_stop. Returns 0, or
// -EIO when waiting on the listening socket fails.
int target_serve(IscsiTarget *target);

// Asks target_serve to return (within about 500 ms); safe from any thread and
// from a signal handler. Returns the previous value of the stop flag.
uint32_t target_stop(IscsiTarget *target);

// 1 while a normal (non-discovery) session is in full-feature phase.
uint32_t target_is_connected(const IscsiTarget *target);

// Closes the listener, wipes and releases everything. Accepts null.
void target_destroy(IscsiTarget *target);

// The production admission rule: the peer's socket must belong to the
// initiator process whose id is published in the root-owned pid file
// `context` (a const char * path; null means "/run/tarnwick/initiator.pid"),
// and that socket must belong to root.
bool target_admit_initiator(void *context, const TargetPeer *peer);

} // namespace tw
