// A raw iSCSI client for tests: builds PDUs byte by byte so that tests can
// send what a real initiator never would, and an in-process target serving
// a memory disk.
#pragma once

#include "iscsi/target.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

using Header = std::array<uint8_t, 48>;
using Bytes = std::vector<uint8_t>;

uint32_t get32(const uint8_t *p);
void put32(uint8_t *p, uint32_t v);

// Key=value text as sent in login and text PDUs.
Bytes keys(const std::vector<std::string> &pairs);
std::map<std::string, std::string> parse_keys(const Bytes &text);

// CHAP_R for a CHAP_I/CHAP_C pair, as "0x" + 32 lower-case hex digits.
std::string chap_response(const std::string &id, const std::string &challenge,
                          const std::string &secret);

struct Pdu {
    Header header{};
    Bytes data;
    uint8_t opcode() const { return header[0] & 0x3F; }
};

// Memory-backed disk with counters and failure injection.
struct MemoryDisk {
    Bytes bytes;
    int read_result = 0;  // returned (when nonzero) by read
    int write_result = 0; // returned (when nonzero) by write
    int flush_result = 0;
    int reads = 0, writes = 0, flushes = 0, ejects = 0;
    int activity_begin = 0, activity_end = 0;
    BlockDevice device(uint64_t size, bool read_only);
};

inline const char *kTestTargetName = "iqn.2026-01.test.tarnwick:raw";
inline const char *kTestChapName = "raw-user";
inline const char *kTestSecret = "0123456789abcdef";

// A target on its own thread; stopped, joined and destroyed on destruction.
struct RunningTarget {
    IscsiTarget *target = nullptr;
    uint16_t port = 0;
    std::thread thread;
    int serve_result = 0;

    bool start(const TargetConfig &config, const BlockDevice &device);
    ~RunningTarget();
};

TargetConfig test_config(TargetAdmit admit = nullptr, void *admit_context = nullptr);
bool admit_everyone(void *, const TargetPeer *);

struct Client {
    int fd = -1;
    uint32_t cmd_sn = 1;
    uint32_t itt = 1;
    uint32_t exp_stat_sn = 0;

    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client();

    bool connect_to(uint16_t port);
    bool send(const Header &header, const Bytes &data = {});
    // 0, -EPIPE when the target closed the connection, -ETIMEDOUT.
    int receive(Pdu *pdu, int timeout_ms = 5000);
    // True when the target closes the connection without sending anything.
    bool closed_without_reply(int timeout_ms = 5000);

    // A Login Request with the given stage flags (T, C, CSG, NSG) and keys.
    Header login_header(uint8_t flags, uint8_t version_max = 0);
    bool send_login(uint8_t flags, const Bytes &text);
    // Sends and receives one login exchange.
    int login_step(uint8_t flags, const Bytes &text, Pdu *response);

    // Security stage with CHAP up to authentication, then the operational
    // stage into full-feature phase. `operational` replaces the default
    // keys of the final request. Returns true when the final response is a success with T = 1.
    bool login(const std::vector<std::string> &operational = {}, bool discovery = false,
               Pdu *final_response = nullptr);

    // A SCSI Command; flags: 0x80 F plus 0x40 R or 0x20 W.
    Header command_header(const Bytes &cdb, uint32_t expected, uint8_t flags);
    bool send_command(const Bytes &cdb, uint32_t expected, uint8_t flags,
                      const Bytes &immediate = {});
};

// The outcome of a complete SCSI command exchange.
struct ScsiResult {
    bool ok = false; // a response arrived
    uint8_t status = 0xFF;
    uint8_t response_flags = 0;
    uint32_t residual = 0;
    Bytes data;  // Data-In payload
    Bytes sense; // 18 bytes on CHECK CONDITION
    int r2ts = 0;
};

// Runs one command: answers R2Ts from `write_data` and gathers Data-In.
ScsiResult run_command(Client &client, const Bytes &cdb, uint32_t expected,
                       const Bytes &write_data = {}, bool use_immediate = false);

} // namespace tw::test
