// The SCSI direct-access device on LUN 0: command decoding, data pages, sense
// data and the mapping of reads, writes and flushes onto the device callbacks.
#include "iscsi/session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

enum : uint8_t {
    kSenseNoSense = 0x0,
    kSenseNotReady = 0x2,
    kSenseMediumError = 0x3,
    kSenseHardwareError = 0x4,
    kSenseIllegalRequest = 0x5,
    kSenseDataProtect = 0x7,
};

enum : uint8_t {
    kAscWriteError = 0x0C,
    kAscUnrecoveredReadError = 0x11,
    kAscInvalidOpcode = 0x20,
    kAscLbaOutOfRange = 0x21,
    kAscInvalidFieldInCdb = 0x24,
    kAscLunNotSupported = 0x25,
    kAscInvalidFieldInParameterList = 0x26,
    kAscWriteProtected = 0x27,
    kAscSavingNotSupported = 0x39,
    kAscMediumNotPresent = 0x3A,
    kAscInternalTargetFailure = 0x44,
};

enum : uint8_t {
    kTestUnitReady = 0x00,
    kRequestSense = 0x03,
    kRead6 = 0x08,
    kWrite6 = 0x0A,
    kInquiry = 0x12,
    kModeSelect6 = 0x15,
    kModeSense6 = 0x1A,
    kStartStopUnit = 0x1B,
    kPreventAllowRemoval = 0x1E,
    kReadCapacity10 = 0x25,
    kRead10 = 0x28,
    kWrite10 = 0x2A,
    kVerify10 = 0x2F,
    kSynchronizeCache10 = 0x35,
    kModeSelect10 = 0x55,
    kModeSense10 = 0x5A,
    kRead16 = 0x88,
    kWrite16 = 0x8A,
    kVerify16 = 0x8F,
    kSynchronizeCache16 = 0x91,
    kServiceActionIn16 = 0x9E,
    kReportLuns = 0xA0,
    kRead12 = 0xA8,
    kWrite12 = 0xAA,
    kSetWriteProtection = 0xC0, // vendor specific
};

constexpr uint8_t kReadCapacity16Action = 0x10;
constexpr size_t kMaxModeSelectLength = 512;

struct Command {
    IscsiTarget *target;
    const Pdu &pdu;
    const uint8_t *cdb;
    uint32_t expected; // Expected Data Transfer Length
    size_t used = 0;   // bytes of the data buffer this command filled
};

int check_condition(const Command &c, uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    IscsiTarget *t = c.target;
    memset(t->sense, 0, kSenseLength);
    t->sense[0] = 0x70;
    t->sense[2] = key;
    t->sense[7] = 10;
    t->sense[12] = asc;
    t->sense[13] = ascq;
    t->sense_pending = true;
    return send_scsi_response(t, c.pdu, kCheckCondition, 0);
}

int good(const Command &c, uint32_t produced = 0) {
    return send_scsi_response(c.target, c.pdu, kGood, produced);
}

int not_ready(const Command &c) {
    return check_condition(c, kSenseNotReady, kAscMediumNotPresent);
}

// Sends `length` bytes of the data buffer as the command's data (after the
// allocation length has been applied), then wipes everything the command
// put into the buffer.
int send_data(const Command &c, uint32_t length) {
    int rc = send_data_in(c.target, c.pdu, length);
    data_buffer_wipe(c.target, std::max<size_t>(length, c.used));
    return rc;
}

constexpr size_t kSmallReply = 256;

// Builds a small reply in the data buffer; every page of this device fits in
// 256 bytes.
uint8_t *small_reply(Command &c) {
    if (data_buffer_reserve(c.target, kSmallReply) < 0)
        return nullptr;
    memset(c.target->data, 0, kSmallReply);
    c.used = kSmallReply;
    return c.target->data;
}

enum class Operation { kRead, kWrite, kFlush };

int device_error(const Command &c, int result, Operation operation) {
    if (result == -EROFS || result == -EACCES)
        return check_condition(c, kSenseDataProtect, kAscWriteProtected);
    if (result == -ENOSPC)
        return check_condition(c, kSenseDataProtect, kAscWriteProtected, 0x07);
    return check_condition(c, kSenseMediumError,
                           operation == Operation::kRead ? kAscUnrecoveredReadError
                                                         : kAscWriteError);
}

void activity(IscsiTarget *t, int active, int succeeded) {
    if (t->device.activity)
        t->device.activity(t->device.context, active, succeeded);
}

int flush_device(IscsiTarget *t) {
    activity(t, 1, 0);
    int rc = t->device.flush(t->device.context);
    activity(t, 0, rc == 0);
    return rc;
}

int read_write_verify(const Command &c) {
    IscsiTarget *t = c.target;
    const uint8_t *cdb = c.cdb;
    uint8_t opcode = cdb[0];
    uint64_t lba;
    uint32_t blocks;
    bool fua = false;
    switch (opcode) {
    case kRead6:
    case kWrite6:
        lba = static_cast<uint64_t>(cdb[1] & 0x1F) << 16 | load16(cdb + 2);
        blocks = cdb[4] == 0 ? 256 : cdb[4];
        break;
    case kRead10:
    case kWrite10:
    case kVerify10:
        lba = load32(cdb + 2);
        blocks = load16(cdb + 7);
        fua = (cdb[1] & 0x08) != 0;
        break;
    case kRead12:
    case kWrite12:
        lba = load32(cdb + 2);
        blocks = load32(cdb + 6);
        fua = (cdb[1] & 0x08) != 0;
        break;
    default: // 16-byte forms
        lba = load64(cdb + 2);
        blocks = load32(cdb + 10);
        fua = (cdb[1] & 0x08) != 0;
        break;
    }
    bool is_write =
        opcode == kWrite6 || opcode == kWrite10 || opcode == kWrite12 || opcode == kWrite16;
    bool is_verify = opcode == kVerify10 || opcode == kVerify16;

    if (t->ejected)
        return not_ready(c);
    uint64_t device_blocks = t->device.size / kBlockSize;
    if (lba > device_blocks || device_blocks - lba < blocks)
        return check_condition(c, kSenseIllegalRequest, kAscLbaOutOfRange);
    if (blocks > kMaxTransferBlocks)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    if (is_verify) {
        if (cdb[1] & 0x06)
            return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
        return good(c);
    }
    uint32_t count = blocks * kBlockSize;
    if (is_write) {
        // Refused before any data is pulled: no R2T for a protected disk.
        if (t->device.read_only)
            return check_condition(c, kSenseDataProtect, kAscWriteProtected);
        if (count != c.expected)
            return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (data_buffer_reserve(t, count) < 0)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    if (is_write) {
        int rc = receive_write_data(t, c.pdu, count);
        if (rc < 0) {
            data_buffer_wipe(t, count);
            return rc; // a broken data sequence ends the connection
        }
    }

    uint64_t offset = lba * kBlockSize;
    Operation operation = is_write ? Operation::kWrite : Operation::kRead;
    activity(t, 1, 0);
    int rc = 0;
    if (count > 0) {
        rc = is_write ? t->device.write(t->device.context, t->data, offset, count)
                      : t->device.read(t->device.context, t->data, offset, count);
    }
    if (rc == 0 && is_write && fua) {
        operation = Operation::kFlush;
        rc = t->device.flush(t->device.context);
    }
    activity(t, 0, rc == 0);
    if (rc < 0) {
        data_buffer_wipe(t, count);
        return device_error(c, rc, operation);
    }
    if (is_write) {
        data_buffer_wipe(t, count);
        return good(c, count);
    }
    return send_data(c, count);
}

int request_sense(Command &c) {
    IscsiTarget *t = c.target;
    uint8_t *reply = small_reply(c);
    if (!reply)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    if (t->sense_pending) {
        memcpy(reply, t->sense, kSenseLength);
    } else {
        reply[0] = 0x70;
        reply[2] = kSenseNoSense;
        reply[7] = 10;
    }
    t->sense_pending = false;
    return send_data(c, std::min<uint32_t>(c.cdb[4], kSenseLength));
}

uint32_t vpd_page(Command &c, uint8_t page, uint8_t *reply) {
    const TargetConfig &config = c.target->config;
    uint32_t serial_length =
        static_cast<uint32_t>(strnlen(config.serial, sizeof config.serial - 1));
    reply[1] = page;
    switch (page) {
    case 0x00: {
        static const uint8_t pages[] = {0x00, 0x80, 0x83, 0xB0, 0xB1};
        reply[3] = sizeof pages;
        memcpy(reply + 4, pages, sizeof pages);
        return 4 + sizeof pages;
    }
    case 0x80:
        reply[3] = static_cast<uint8_t>(serial_length);
        memcpy(reply + 4, config.serial, serial_length);
        return serial_length + 4;
    case 0x83:
        store16(reply + 2, serial_length + 24);
        reply[4] = 0x01; // binary
        reply[5] = 0x03; // logical unit, NAA
        reply[7] = 8;
        memcpy(reply + 8, config.naa, 8);
        reply[8] = static_cast<uint8_t>(0x30 | (reply[8] & 0x0F)); // NAA locally assigned
        reply[16] = 0x02;                                          // ASCII
        reply[17] = 0x01;                                          // T10 vendor ID
        reply[19] = static_cast<uint8_t>(serial_length + 8);
        memcpy(reply + 20, "TARNWICK", 8);
        memcpy(reply + 28, config.serial, serial_length);
        return serial_length + 28;
    case 0xB0:
        reply[3] = 0x3C;
        store16(reply + 6, 8);
        store32(reply + 8, kMaxTransferBlocks);
        store32(reply + 12, 256);
        return 64;
    case 0xB1:
        reply[3] = 0x3C;
        store16(reply + 4, 1); // non-rotating medium
        return 64;
    default:
        return 0;
    }
}

int inquiry(Command &c, bool lun_zero) {
    const uint8_t *cdb = c.cdb;
    uint32_t allocation = load16(cdb + 3);
    bool evpd = (cdb[1] & 0x01) != 0;
    if (!evpd && cdb[2] != 0)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    uint8_t *reply = small_reply(c);
    if (!reply)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    uint32_t length;
    if (evpd) {
        length = vpd_page(c, cdb[2], reply);
        if (length == 0)
            return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    } else {
        reply[0] = lun_zero ? 0x00 : 0x7F;
        reply[1] = c.target->device.removable ? 0x80 : 0x00;
        reply[2] = 0x06;
        reply[3] = 0x02;
        reply[4] = 91;
        reply[7] = 0x02;
        memcpy(reply + 8, "TARNWICK", 8);
        memcpy(reply + 16, "Encrypted Disk  ", 16);
        memcpy(reply + 32, "0300", 4);
        length = 96;
    }
    return send_data(c, std::min(length, allocation));
}

int mode_sense(Command &c) {
    const uint8_t *cdb = c.cdb;
    bool ten = cdb[0] == kModeSense10;
    uint8_t page_control = cdb[2] >> 6;
    uint8_t page = cdb[2] & 0x3F;
    if (page_control == 3)
        return check_condition(c, kSenseIllegalRequest, kAscSavingNotSupported);
    if (page != 0x08 && page != 0x0A && page != 0x3F)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    uint8_t *reply = small_reply(c);
    if (!reply)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    uint32_t header = ten ? 8 : 4;
    uint32_t pos = header;
    if (page == 0x08 || page == 0x3F) {
        reply[pos] = 0x08;
        reply[pos + 1] = 0x12;
        if (page_control != 1)
            reply[pos + 2] = 0x04; // WCE: the write cache is always on
        pos += 20;
    }
    if (page == 0x0A || page == 0x3F) {
        reply[pos] = 0x0A;
        reply[pos + 1] = 0x0A;
        pos += 12;
    }
    uint32_t pages = pos - header;
    uint8_t device_specific = static_cast<uint8_t>(0x10 | (c.target->device.read_only ? 0x80 : 0));
    uint32_t allocation;
    if (ten) {
        store16(reply, pages + 6);
        reply[3] = device_specific;
        allocation = load16(cdb + 7);
    } else {
        reply[0] = static_cast<uint8_t>(pages + 3);
        reply[2] = device_specific;
        allocation = cdb[4];
    }
    return send_data(c, std::min(pos, allocation));
}

int mode_select(const Command &c) {
    IscsiTarget *t = c.target;
    const uint8_t *cdb = c.cdb;
    bool ten = cdb[0] == kModeSelect10;
    uint32_t length = ten ? load16(cdb + 7) : cdb[4];
    if (length > kMaxModeSelectLength)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    if (length == 0)
        return good(c);
    if (data_buffer_reserve(t, length) < 0)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    int rc = receive_write_data(t, c.pdu, length);
    if (rc < 0) {
        data_buffer_wipe(t, length);
        return rc;
    }
    const uint8_t *list = t->data;
    uint32_t header = ten ? 8 : 4;
    uint32_t pos = header;
    if (length >= header)
        pos += ten ? load16(list + 6) : list[3];
    bool refused = false;
    while (pos + 2 <= length) {
        uint8_t code = list[pos] & 0x3F;
        uint32_t page_length = list[pos + 1];
        if (pos + 2 + page_length > length)
            break;
        // The write cache cannot be switched off.
        if (code == 0x08 && page_length > 0 && (list[pos + 2] & 0x04) == 0)
            refused = true;
        pos += 2 + page_length;
    }
    data_buffer_wipe(t, length);
    if (refused)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInParameterList);
    return good(c);
}

int synchronize_cache(const Command &c) {
    IscsiTarget *t = c.target;
    if (t->ejected)
        return not_ready(c);
    int rc = 0;
    if (!t->device.read_only) {
        rc = flush_device(t);
    } else {
        activity(t, 1, 0);
        activity(t, 0, 1);
    }
    return rc < 0 ? device_error(c, rc, Operation::kFlush) : good(c);
}

int start_stop_unit(const Command &c) {
    IscsiTarget *t = c.target;
    // Only "eject" (LoEj = 1, Start = 0) acts.
    if ((c.cdb[4] & 0x03) != 0x02 || t->ejected)
        return good(c);
    if (!t->device.read_only) {
        int rc = flush_device(t);
        if (rc < 0)
            return device_error(c, rc, Operation::kFlush);
    }
    if (t->device.eject)
        t->device.eject(t->device.context);
    t->ejected = true;
    return good(c);
}

int read_capacity(Command &c, bool sixteen) {
    IscsiTarget *t = c.target;
    if (sixteen && (c.cdb[1] & 0x1F) != kReadCapacity16Action)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidOpcode);
    if (t->ejected)
        return not_ready(c);
    uint8_t *reply = small_reply(c);
    if (!reply)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    uint64_t last_lba = t->device.size / kBlockSize - 1;
    if (!sixteen) {
        store32(reply, static_cast<uint32_t>(std::min<uint64_t>(last_lba, 0xFFFFFFFF)));
        store32(reply + 4, kBlockSize);
        return send_data(c, 8);
    }
    store64(reply, last_lba);
    store32(reply + 8, kBlockSize);
    reply[13] = 3; // 8 logical blocks per 4096-byte physical block
    return send_data(c, std::min<uint32_t>(32, load32(c.cdb + 10)));
}

int report_luns(Command &c) {
    uint8_t *reply = small_reply(c);
    if (!reply)
        return check_condition(c, kSenseHardwareError, kAscInternalTargetFailure);
    store32(reply, 8); // one LUN entry, LUN 0
    return send_data(c, std::min<uint32_t>(16, load32(c.cdb + 6)));
}

int set_write_protection(const Command &c) {
    IscsiTarget *t = c.target;
    if (!t->device.write_protect_switch_permitted || c.cdb[1] > 1)
        return check_condition(c, kSenseIllegalRequest, kAscInvalidOpcode);
    t->device.read_only = c.cdb[1] == 0;
    return good(c);
}

} // namespace

int scsi_command(IscsiTarget *target, const Pdu &pdu) {
    Command c{target, pdu, pdu.header + 32, load32(pdu.header + 20)};
    uint8_t opcode = c.cdb[0];
    if ((pdu.flags() & 0x60) == 0x60) // bidirectional
        return check_condition(c, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    static const uint8_t zero_lun[8] = {};
    bool lun_zero = memcmp(pdu.header + 8, zero_lun, 8) == 0;
    if (!lun_zero && opcode != kRequestSense && opcode != kInquiry && opcode != kReportLuns)
        return check_condition(c, kSenseIllegalRequest, kAscLunNotSupported);

    switch (opcode) {
    case kTestUnitReady:
        return target->ejected ? not_ready(c) : good(c);
    case kRequestSense:
        return request_sense(c);
    case kRead6:
    case kRead10:
    case kRead12:
    case kRead16:
    case kWrite6:
    case kWrite10:
    case kWrite12:
    case kWrite16:
    case kVerify10:
    case kVerify16:
        return read_write_verify(c);
    case kInquiry:
        return inquiry(c, lun_zero);
    case kModeSelect6:
    case kModeSelect10:
        return mode_select(c);
    case kModeSense6:
    case kModeSense10:
        return mode_sense(c);
    case kStartStopUnit:
        return start_stop_unit(c);
    case kPreventAllowRemoval:
        return good(c);
    case kReadCapacity10:
        return read_capacity(c, false);
    case kServiceActionIn16:
        return read_capacity(c, true);
    case kSynchronizeCache10:
    case kSynchronizeCache16:
        return synchronize_cache(c);
    case kReportLuns:
        return report_luns(c);
    case kSetWriteProtection:
        return set_write_protection(c);
    default:
        return check_condition(c, kSenseIllegalRequest, kAscInvalidOpcode);
    }
}

} // namespace tw
