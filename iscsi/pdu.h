// iSCSI PDUs on one TCP connection: reading, writing and login/text keys.
//
// A PDU is a 48-byte Basic Header Segment, any AHS (skipped: nothing this
// target negotiates uses one), then the data segment padded with zeros to a
// multiple of 4. Digests are never negotiated.
#pragma once

#include "iscsi/target_state.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

inline constexpr size_t kHeaderLength = 48;
// The target declares 262144 but accepts a little more, as some initiators
// round their segments up.
inline constexpr uint32_t kMaxReceiveSegment = 263168;
inline constexpr uint32_t kDeclaredReceiveSegment = 262144;
inline constexpr uint32_t kReservedTag = 0xFFFFFFFF;

enum : uint8_t {
    kOpNopOut = 0x00,
    kOpScsiCommand = 0x01,
    kOpTaskRequest = 0x02,
    kOpLoginRequest = 0x03,
    kOpTextRequest = 0x04,
    kOpDataOut = 0x05,
    kOpLogoutRequest = 0x06,
    kOpNopIn = 0x20,
    kOpScsiResponse = 0x21,
    kOpTaskResponse = 0x22,
    kOpLoginResponse = 0x23,
    kOpTextResponse = 0x24,
    kOpDataIn = 0x25,
    kOpLogoutResponse = 0x26,
    kOpR2T = 0x31,
    kOpReject = 0x3F,
};

inline uint16_t load16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t load24(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t load32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint64_t load64(const uint8_t *p) {
    return static_cast<uint64_t>(load32(p)) << 32 | load32(p + 4);
}
inline void store16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store24(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    store16(p + 1, v);
}
inline void store32(uint8_t *p, uint32_t v) {
    store16(p, v >> 16);
    store16(p + 2, v);
}
inline void store64(uint8_t *p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v >> 32));
    store32(p + 4, static_cast<uint32_t>(v));
}

// A received PDU. The data buffer holds the padded segment plus one byte so
// that text is always NUL-terminated; it is wiped before it is freed.
struct Pdu {
    uint8_t header[kHeaderLength] = {};
    uint8_t *data = nullptr;
    uint32_t length = 0;
    size_t capacity = 0;

    Pdu() = default;
    Pdu(const Pdu &) = delete;
    Pdu &operator=(const Pdu &) = delete;
    ~Pdu() { clear(); }
    void clear();

    uint8_t opcode() const { return header[0] & 0x3F; }
    bool immediate() const { return (header[0] & 0x40) != 0; }
    uint8_t flags() const { return header[1]; }
    uint32_t itt() const { return load32(header + 16); }
};

// Reads one PDU. Returns 0; -ECANCELED (stop flag seen); -EIO (waiting on the
// socket failed); -EPIPE (peer closed or recv failed); -EPROTO (data segment
// above kMaxReceiveSegment); -ENOMEM.
int receive_pdu(IscsiTarget *target, Pdu *pdu);

// Writes a complete PDU: the header with DataSegmentLength filled in, the data
// and its zero padding. Returns 0 or -EPIPE.
int send_pdu(IscsiTarget *target, uint8_t *header, const void *data, uint32_t length);

// Stores StatSN (optionally), ExpCmdSN and MaxCmdSN in a response header and
// advances StatSN when asked. MaxCmdSN = ExpCmdSN gives the initiator a
// command window of exactly one.
void put_sequence_numbers(IscsiTarget *target, uint8_t *header, bool with_stat_sn,
                          bool advance_stat_sn);

// Growable key=value text; an allocation failure sets out_of_memory instead
// of failing at once, so the caller reports it once per response.
struct TextBuffer {
    uint8_t *bytes = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool out_of_memory = false;

    TextBuffer() = default;
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;
    ~TextBuffer() { clear(); }
    void clear();
    void append(const void *bytes, size_t count);
};

// Appends "key=value" and a NUL.
void append_key(TextBuffer *text, std::string_view key, std::string_view value);

// Finds the first NUL-separated string that starts with "key=". The value is
// returned without its terminator.
bool find_key(const uint8_t *text, size_t length, std::string_view key, std::string_view *value);

// Whether a comma-separated list holds the item exactly.
bool list_contains(std::string_view list, std::string_view item);

// Parses unsigned decimal, saturating at 2^32 - 1; false for an empty value or
// characters after the digits.
bool parse_number(std::string_view text, uint32_t *value);

} // namespace tw
