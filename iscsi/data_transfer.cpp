// Moving a SCSI command's data: Data-In for reads, immediate data and R2T /
// Data-Out bursts for writes, and the SCSI Response.
#include "iscsi/session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kResidualOverflow = 0x04;
constexpr uint8_t kResidualUnderflow = 0x02;

uint32_t expected_length(const Pdu &command) {
    return load32(command.header + 20);
}

void put_residual(uint8_t *header, uint32_t expected, uint32_t produced) {
    if (expected > produced) {
        header[1] |= kResidualUnderflow;
        store32(header + 44, expected - produced);
    } else if (expected < produced) {
        header[1] |= kResidualOverflow;
        store32(header + 44, produced - expected);
    }
}

int send_r2t(IscsiTarget *target, const Pdu &command, uint32_t tag, uint32_t r2t_sn,
             uint32_t offset, uint32_t length) {
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpR2T;
    header[1] = 0x80;
    memcpy(header + 8, command.header + 8, 12); // LUN and ITT
    store32(header + 20, tag);
    put_sequence_numbers(target, header, true, false);
    store32(header + 36, r2t_sn);
    store32(header + 40, offset);
    store32(header + 44, length);
    return send_pdu(target, header, nullptr, 0);
}

uint32_t next_transfer_tag(IscsiTarget *target) {
    if (++target->r2t_tag == kReservedTag)
        ++target->r2t_tag;
    return target->r2t_tag;
}

} // namespace

int send_scsi_response(IscsiTarget *target, const Pdu &command, uint8_t status, uint32_t produced) {
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpScsiResponse;
    header[1] = 0x80;
    header[3] = status;
    memcpy(header + 16, command.header + 16, 4);
    put_sequence_numbers(target, header, true, true);
    uint32_t expected = expected_length(command);
    if (status != kStatusCheckCondition) {
        put_residual(header, expected, produced);
        return send_pdu(target, header, nullptr, 0);
    }
    // Sense data travels in the response; no command data was transferred.
    put_residual(header, expected, 0);
    uint8_t sense[2 + kSenseLength];
    store16(sense, kSenseLength);
    memcpy(sense + 2, target->sense, kSenseLength);
    return send_pdu(target, header, sense, sizeof sense);
}

int send_data_in(IscsiTarget *target, const Pdu &command, uint32_t produced) {
    uint32_t expected = expected_length(command);
    uint32_t total = std::min(expected, produced);
    if (total == 0)
        return send_scsi_response(target, command, kStatusGood, produced);
    uint32_t segment = std::max<uint32_t>(target->max_send_segment, 512);
    uint32_t offset = 0;
    for (uint32_t data_sn = 0; offset < total; ++data_sn) {
        uint32_t length = std::min(segment, total - offset);
        bool last = offset + length == total;
        uint8_t header[kHeaderLength] = {};
        header[0] = kOpDataIn;
        memcpy(header + 8, command.header + 8, 12); // LUN and ITT
        store32(header + 20, kReservedTag);
        if (last) {
            header[1] = 0x81; // F and S: the status comes with the data
            header[3] = kStatusGood;
            put_residual(header, expected, produced);
        }
        put_sequence_numbers(target, header, last, last);
        store32(header + 36, data_sn);
        store32(header + 40, offset);
        int rc = send_pdu(target, header, target->data + offset, length);
        if (rc < 0)
            return rc;
        offset += length;
    }
    return 0;
}

int receive_write_data(IscsiTarget *target, const Pdu &command, uint32_t length) {
    uint32_t received = 0;
    if (command.length > 0) {
        if (command.length > length || !target->immediate_data ||
            command.length > target->first_burst_length)
            return -EPROTO;
        memcpy(target->data, command.data, command.length);
        received = command.length;
    }
    uint32_t itt = command.itt();
    Pdu pdu;
    for (uint32_t r2t_sn = 0; received < length; ++r2t_sn) {
        uint32_t tag = next_transfer_tag(target);
        uint32_t burst = std::min(length - received, target->max_burst_length);
        int rc = send_r2t(target, command, tag, r2t_sn, received, burst);
        if (rc < 0)
            return rc;
        uint32_t data_sn = 0; // counts from 0 within each R2T's burst
        while (burst > 0) {
            rc = receive_pdu(target, &pdu);
            if (rc < 0)
                return rc;
            if (pdu.opcode() == kOpNopOut) {
                // A ping between bursts is numbered like any other NOP-Out.
                Numbering numbering = check_command_number(target, pdu);
                if (numbering == Numbering::kEnd)
                    return -EPROTO;
                if (numbering == Numbering::kAccept && answer_nop_out(target, pdu) < 0)
                    return -EPIPE;
                continue;
            }
            if (pdu.opcode() != kOpDataOut || pdu.itt() != itt || load32(pdu.header + 20) != tag ||
                load32(pdu.header + 36) != data_sn || load32(pdu.header + 40) != received ||
                pdu.length > burst)
                return -EPROTO;
            ++data_sn;
            bool final = (pdu.flags() & 0x80) != 0;
            if (final && pdu.length != burst)
                return -EPROTO;
            memcpy(target->data + received, pdu.data, pdu.length);
            received += pdu.length;
            burst -= pdu.length;
        }
    }
    return 0;
}

} // namespace tw
