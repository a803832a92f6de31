// One connection from its first PDU to its end: login, then the full-feature
// phase with its command numbering and opcode dispatch.
#pragma once

#include "iscsi/pdu.h"

namespace tw {

// Runs one admitted connection until it ends; the caller closes the socket.
void serve_connection(IscsiTarget *target, int socket);

// Runs the login phase from the connection's first PDU. Returns 0 when the
// session enters full-feature phase, a negative errno when the connection
// must end.
int login_phase(IscsiTarget *target, Pdu *first);

enum class Numbering { kAccept, kDrop, kEnd };

// Applies the one-command window to a PDU: immediate PDUs, NOP-Outs with the
// reserved ITT and PDUs that carry no CmdSN pass without a check; a CmdSN equal
// to ExpCmdSN is accepted (and advances it), one behind is dropped, one ahead
// ends the connection.
Numbering check_command_number(IscsiTarget *target, const Pdu &pdu);

// Answers a NOP-Out with a NOP-In echoing its data; nothing for the reserved
// ITT. Returns 0 or -EPIPE.
int answer_nop_out(IscsiTarget *target, const Pdu &nop);

// SCSI Command handling of the full-feature phase (scsi_commands.cpp).
// Returns 0 to continue the session or a negative errno that ends it.
int scsi_command(IscsiTarget *target, const Pdu &command);

// Data transfer for SCSI commands (data_transfer.cpp).
// A SCSI Response without data: GOOD with the residual |expected - produced|,
// or CHECK CONDITION with the target's current sense data.
int send_scsi_response(IscsiTarget *target, const Pdu &command, uint8_t status, uint32_t produced);
// Sends `produced` bytes of the data buffer as Data-In, limited to the
// Expected Data Transfer Length, with the residual in the final PDU.
int send_data_in(IscsiTarget *target, const Pdu &command, uint32_t produced);
// Collects `length` bytes of write data into the data buffer: immediate data,
// then R2T bursts answered by Data-Out. -EPROTO for any sequence error.
int receive_write_data(IscsiTarget *target, const Pdu &command, uint32_t length);

} // namespace tw
