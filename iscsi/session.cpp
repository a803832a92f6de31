// A connection's life after admission, and the full-feature phase: command
// numbering, NOP, task management, SendTargets, logout and reject.
#include "iscsi/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kRejectCommandNotSupported = 0x05;
constexpr uint8_t kRejectProtocolError = 0x04;
constexpr uint8_t kTaskAbortTask = 1;

void start_connection_state(IscsiTarget *target, const Pdu &login) {
    target->stat_sn = 1;
    target->exp_cmd_sn = load32(login.header + 24);
    target->max_send_segment = 8192;
    target->max_burst_length = 262144;
    target->first_burst_length = 65536;
    target->immediate_data = true;
    target->discovery = false;
}

int send_reject(IscsiTarget *target, const Pdu &rejected, uint8_t reason) {
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpReject;
    header[1] = 0x80;
    header[2] = reason;
    store32(header + 16, kReservedTag);
    put_sequence_numbers(target, header, true, true);
    return send_pdu(target, header, rejected.header, kHeaderLength);
}

int answer_task_management(IscsiTarget *target, const Pdu &request) {
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpTaskResponse;
    header[1] = 0x80;
    // Commands run one at a time to completion, so there is never a task
    // left to abort.
    header[2] = (request.flags() & 0x7F) == kTaskAbortTask ? 1 : 0;
    memcpy(header + 16, request.header + 16, 4);
    put_sequence_numbers(target, header, true, true);
    return send_pdu(target, header, nullptr, 0);
}

int answer_text(IscsiTarget *target, const Pdu &request) {
    TextBuffer answer;
    std::string_view value;
    if (find_key(request.data, request.length, "SendTargets", &value) &&
        (value.empty() || value == "All" ||
         value == std::string_view(target->config.target_name))) {
        char address[32];
        snprintf(address, sizeof address, "127.0.0.1:%u,1", target->port);
        append_key(&answer, "TargetName", target->config.target_name);
        append_key(&answer, "TargetAddress", address);
    }
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpTextResponse;
    header[1] = 0x80;
    memcpy(header + 8, request.header + 8, 12); // LUN and ITT
    store32(header + 20, kReservedTag);
    put_sequence_numbers(target, header, true, true);
    bool with_text = !answer.out_of_memory;
    return send_pdu(target, header, with_text ? answer.bytes : nullptr,
                    with_text ? static_cast<uint32_t>(answer.length) : 0);
}

int answer_logout(IscsiTarget *target, const Pdu &request) {
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpLogoutResponse;
    header[1] = 0x80;
    memcpy(header + 16, request.header + 16, 4);
    put_sequence_numbers(target, header, true, true);
    return send_pdu(target, header, nullptr, 0);
}

void full_feature_phase(IscsiTarget *target) {
    if (!target->discovery)
        target->session_active.store(1);
    Pdu pdu;
    for (;;) {
        if (receive_pdu(target, &pdu) < 0)
            break;
        Numbering numbering = check_command_number(target, pdu);
        if (numbering == Numbering::kEnd)
            break;
        if (numbering == Numbering::kDrop)
            continue;
        int rc = 0;
        switch (pdu.opcode()) {
        case kOpNopOut:
            rc = answer_nop_out(target, pdu);
            break;
        case kOpScsiCommand:
            rc = target->discovery ? send_reject(target, pdu, kRejectCommandNotSupported)
                                   : scsi_command(target, pdu);
            break;
        case kOpTaskRequest:
            rc = answer_task_management(target, pdu);
            break;
        case kOpTextRequest:
            rc = answer_text(target, pdu);
            break;
        case kOpDataOut:
            break; // data for no write in progress
        case kOpLogoutRequest:
            answer_logout(target, pdu);
            rc = -ECONNRESET;
            break;
        default:
            rc = send_reject(target, pdu, kRejectProtocolError);
            break;
        }
        if (rc < 0)
            break;
    }
    target->session_active.store(0);
}

} // namespace

Numbering check_command_number(IscsiTarget *target, const Pdu &pdu) {
    uint8_t opcode = pdu.opcode();
    bool numbered = opcode == kOpScsiCommand || opcode == kOpTaskRequest ||
                    opcode == kOpTextRequest || opcode == kOpLogoutRequest ||
                    (opcode == kOpNopOut && pdu.itt() != kReservedTag);
    if (!numbered || pdu.immediate())
        return Numbering::kAccept;
    int32_t distance = static_cast<int32_t>(load32(pdu.header + 24) - target->exp_cmd_sn);
    if (distance == 0) {
        ++target->exp_cmd_sn;
        return Numbering::kAccept;
    }
    // A repeat of an accepted command is dropped; one beyond the window of one
    // means the initiator lost track, and the connection ends.
    return distance < 0 ? Numbering::kDrop : Numbering::kEnd;
}

int answer_nop_out(IscsiTarget *target, const Pdu &nop) {
    if (nop.itt() == kReservedTag)
        return 0;
    uint8_t header[kHeaderLength] = {};
    header[0] = kOpNopIn;
    header[1] = 0x80;
    memcpy(header + 8, nop.header + 8, 12); // LUN and ITT
    store32(header + 20, kReservedTag);
    put_sequence_numbers(target, header, true, true);
    return send_pdu(target, header, nop.data, nop.length);
}

void serve_connection(IscsiTarget *target, int socket) {
    target->connection_fd = socket;
    Pdu first;
    // The first PDU must be a Login Request; anything else is closed without
    // a reply.
    if (receive_pdu(target, &first) == 0 && first.opcode() == kOpLoginRequest) {
        start_connection_state(target, first);
        if (login_phase(target, &first) == 0)
            full_feature_phase(target);
    }
    target->connection_fd = -1;
}

} // namespace tw
