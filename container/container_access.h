// Pieces shared by the unlocking, reading and copying code of the Container.
// Other code reads through container_read and container_read_sector.
#pragma once

#include "container/container.h"
#include "container/probe/probe.h"

namespace tw {

// Sector 0 as served to readers: the presented sector 0, with the range
// attribute and header marker (bytes 486..495) zeroed for kind 2 and for a
// kind-3 sector 0 that carries the header.
void container_serve_sector0(const Container *container, uint8_t out[kSectorSize]);

// Sectors [first, first + count) of a non-v3 container, first > 0: read in
// one call, decrypted in one call, with the exFAT checksum repair. -EACCES
// before unlocking; the buffer is wiped on failure.
int container_read_sectors(Container *container, uint64_t first, size_t count, uint8_t *out);

// Runs the filesystem probe through the container (sector 0 as served,
// encrypted unless the cipher is 254). Returns kProbeRecognised or
// kProbeNotRecognised; `*read_error` gets the first read error the probe met.
int container_probe(Container *container, char *text, size_t text_size, int *read_error);

} // namespace tw
