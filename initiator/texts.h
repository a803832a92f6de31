// Messages of the initiator service for people: replies and the log.
#pragma once

namespace tw {

inline constexpr const char *kTextInitiatorBadRequest = "The initiator request is malformed.";
inline constexpr const char *kTextInitiatorUnknownOperation = "Unknown initiator operation.";
inline constexpr const char *kTextInitiatorNoSession = "There is no such iSCSI session.";
inline constexpr const char *kTextInitiatorLoginRefused =
    "The iSCSI target refused the login (wrong CHAP name or secret, or this initiator is not "
    "admitted).";
inline constexpr const char *kTextInitiatorLoginFailed = "The iSCSI login to the target failed.";
inline constexpr const char *kTextInitiatorNoCapacity = "The iSCSI disk did not report its size.";
inline constexpr const char *kTextInitiatorPresentFailed =
    "The iSCSI disk could not be presented as a file (FUSE).";
inline constexpr const char *kTextInitiatorLoopFailed =
    "No loop device could be attached to the iSCSI disk.";
inline constexpr const char *kTextInitiatorBusy =
    "The disk is still in use (mounted or open); nothing was logged out.";
inline constexpr const char *kTextInitiatorLogoutFailed =
    "The iSCSI session could not be removed completely.";
inline constexpr const char *kTextInitiatorWriteProtectRefused =
    "The disk refused to change its write protection.";
inline constexpr const char *kTextInitiatorWriteProtectFailed =
    "The write-protection command failed.";
inline constexpr const char *kTextInitiatorTooMany = "Too many iSCSI sessions.";

} // namespace tw
