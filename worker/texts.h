// The worker's texts: the codes and messages of its error line.
#pragma once

namespace tw::worker_text {

inline constexpr const char kUsage[] = "Expected a mount request from the session service.";
inline constexpr const char kProtocol[] = "Invalid credential request.";
inline constexpr const char kStatus[] = "Cannot open the private worker status.";
inline constexpr const char kSystemKey[] =
    "The system key must contain exactly 14 hexadecimal digits.";
inline constexpr const char kRecovery[] =
    "An unfinished conversion or partial copy was detected. Container access is blocked.";
inline constexpr const char kBusy[] = "The container is in use by another mount or operation.";
inline constexpr const char kUnsupportedFile[] =
    "Select a regular container file owned by your account.";
inline constexpr const char kStorage[] =
    "Write access needs a container on a local ext4, XFS or Btrfs drive that you can modify. "
    "Select Read-only for other storage.";
inline constexpr const char kHardLinks[] =
    "Write access needs a container without other hard links. Select Read-only, or remove the "
    "other links.";
inline constexpr const char kCredentials[] = "Credentials could not be checked.";
inline constexpr const char kProbeIo[] = "An I/O error occurred while checking the container.";
inline constexpr const char kProbeNoMatch[] =
    "The password, cipher, or system key did not match a supported filesystem. The container "
    "may also be damaged.";
inline constexpr const char kCheckpoint[] =
    "A recovery checkpoint is damaged. Create a verified encrypted copy before mounting. The "
    "original stays unchanged.";
inline constexpr const char kCdImage[] =
    "CD images can be checked, copied and exported on Linux, but not mounted yet.";
inline constexpr const char kProfileReadOnly[] =
    "This container profile supports read-only access on Linux.";
inline constexpr const char kWriteUnsupported[] =
    "This container does not support write access on Linux. Mount it read-only.";
inline constexpr const char kUnfinishedSession[] =
    "This volume has an unfinished write session. Mount it read-only, or use Check and Repair, "
    "before writing again.";
inline constexpr const char kMarker[] =
    "Cannot create the write recovery marker beside the container. Write access needs a folder "
    "that only you and root can change.";
inline constexpr const char kRandom[] = "Linux could not generate secure random bytes.";
inline constexpr const char kTransport[] =
    "The local disk service could not listen on the loopback interface.";
inline constexpr const char kStopEvent[] = "Cannot create the worker's stop event.";
inline constexpr const char kWatchers[] = "Cannot start the worker's watchers.";

} // namespace tw::worker_text
