// Loop block devices over files: attaching, read-only switching, busy checks
// and detaching.
//
// Devices are configured in one LOOP_CONFIGURE call (file, flags, offset and
// size limit at once), so no half-configured device is ever visible. Kernel
// partition scanning is never asked for: partitions are separate loop devices
// with an offset and a size limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct LoopAttach {
    int backing_fd = -1;     // the file the device reads and writes
    uint64_t offset = 0;     // bytes into the file
    uint64_t size_limit = 0; // bytes; 0 means up to the end of the file
    uint32_t block_size = 0; // logical block size; 0 keeps the kernel's 512
    bool read_only = false;
};

// Attaches a free loop device to the file. 0 with *device ("/dev/loopN") and
// *number (N), or a negative errno.
int loop_attach(const LoopAttach &attach, std::string *device, int *number);

// Sets or clears the block device's read-only flag (BLKROSET). 0 or a
// negative errno.
int loop_set_read_only(const std::string &device, bool read_only);

// Whether something other than this process uses the device: a mount or
// another exclusive holder, a device stacked on it, or an open descriptor of
// another process. 0 with *busy, or a negative errno.
int loop_in_use(const std::string &device, bool *busy);

// Detaches the device and waits up to timeout_ms until it has let go of its
// file. 0; -EBUSY when it still holds the file afterwards; or another
// negative errno.
int loop_detach(const std::string &device, int timeout_ms);

// Reads the block device's read-only state as the kernel enforces it
// (BLKROGET: the device's own flag or its disk's). 0 or a negative errno.
int block_device_read_only(const std::string &device, bool *read_only);

// The numbers of the loop devices bound to this file or device, as the
// kernel names their backing files.
std::vector<int> loop_devices_over(const std::string &path);

// True while the loop device with this number is bound to a file.
bool loop_is_attached(int number);

// The path of the file the loop device with this number is bound to, as the
// kernel reports it; empty when it is bound to none.
std::string loop_backing_file(int number);

} // namespace tw
