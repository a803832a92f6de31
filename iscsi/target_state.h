// The target object shared by the protocol files of the iSCSI target.
#pragma once

#include "iscsi/target.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr uint32_t kBlockSize = 512;
inline constexpr uint32_t kMaxTransferBlocks = 2048;
inline constexpr uint32_t kSenseLength = 18;

struct IscsiTarget {
    TargetConfig config;
    BlockDevice device;
    int listen_fd;
    uint16_t port;
    int connection_fd;

    std::atomic<uint32_t> stop;
    std::atomic<uint32_t> session_active;
    std::atomic<uint32_t> tsih_counter;

    // Connection state, reset for every connection.
    uint32_t stat_sn;
    uint32_t exp_cmd_sn;
    uint32_t max_send_segment; // the initiator's MaxRecvDataSegmentLength
    uint32_t max_burst_length;
    uint32_t first_burst_length;
    bool immediate_data;
    bool discovery;
    uint32_t r2t_tag;

    // SCSI device state.
    bool ejected;
    uint8_t sense[kSenseLength];
    bool sense_pending;

    // One command's data: anonymous, locked where the limit allows, excluded
    // from core dumps, wiped after every command.
    uint8_t *data;
    size_t data_capacity;
};

// Makes the data buffer at least `size` bytes; the old buffer is wiped and
// released first. Returns 0 or -ENOMEM.
int data_buffer_reserve(IscsiTarget *target, size_t size);
// Wipes the first `used` bytes of the data buffer.
void data_buffer_wipe(IscsiTarget *target, size_t used);
void data_buffer_release(IscsiTarget *target);

} // namespace tw
