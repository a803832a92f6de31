// The removable-device actions: listing the disks that may be imaged,
// recording an administrator's approval for one disk and one user, and
// lending the approved user's engine a read-only descriptor of the disk.
#pragma once

#include "broker/service.h"

namespace tw {

// Approvals expire this long after they were given.
inline constexpr uint64_t kApprovalLifetimeMs = 120000;

JsonValue *broker_run_devices(BrokerRequest *request);
JsonValue *broker_run_approve_imaging(BrokerRequest *request);
JsonValue *broker_run_image_source(BrokerRequest *request);

} // namespace tw
