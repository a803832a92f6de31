// Classification of an opened container file into its format kind.
// Used by container_open and container_open_descriptor; other code opens
// containers through those.
#pragma once

#include "container/container.h"

namespace tw {

// Classifies the file of `container`, whose fd, read-only flag, block-device
// flag and file size are set. Fills the format kind, size, sector count,
// header cipher, range, sector-0 copies, header and CD flags, the system-key
// schedule, the trailer (kind 5) and the v3 store (kind 7). `flags` are the
// ContainerOpenFlags. 0 or a negative errno; on failure the caller discards
// the container.
int container_classify(Container *container, unsigned flags);

// The recorded range of kinds 4 and 6: the whole container.
void container_record_whole_range(Container *container);

// Records the range, attributes and cipher of an embedded header (a whole
// decrypted sector 0 of kinds 2 and 3).
void container_record_embedded_header(Container *container, const uint8_t *sector);

// The ISO 9660 volume descriptor test on the sector at byte 32768.
bool container_iso_descriptor(const uint8_t *sector);

} // namespace tw
