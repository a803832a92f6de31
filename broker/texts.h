// Messages of the broker for people: replies, the command line and the log.
#pragma once

namespace tw {

// ---- Replies common to every action
inline constexpr const char *kTextUnsupportedProtocol = "Unsupported broker protocol.";
inline constexpr const char *kTextStopping =
    "Tarnwick is being updated or stopped. Try again shortly.";
inline constexpr const char *kTextUnknownOperation = "Unknown broker operation.";
inline constexpr const char *kTextOperationFailed = "The broker operation failed.";
inline constexpr const char *kTextNotAvailable =
    "This broker operation is not available in this version.";

// ---- Callers, records and sessions
inline constexpr const char *kTextNotOurProgram =
    "The requesting process is not a Tarnwick program owned by your account. Nothing was "
    "attached.";
inline constexpr const char *kTextTooManyDisks = "Too many disks are attached. Unmount one first.";
inline constexpr const char *kTextOtherAccount = "This session belongs to another account.";
inline constexpr const char *kTextCheckRunning = "The filesystem check is still running.";
inline constexpr const char *kTextStillAttached = "The disk is still attached.";
inline constexpr const char *kTextCannotRemoveRecord =
    "The broker could not remove the session record. Retry cleanup.";
inline constexpr const char *kTextAbandonAttached =
    "The disk is still attached; unmount it normally.";
inline constexpr const char *kTextCannotListSessions =
    "Linux could not list its iSCSI sessions. Try again.";
inline constexpr const char *kTextCannotRecord = "The broker could not record the session.";
inline constexpr const char *kTextRepairInterrupted =
    "The filesystem check was interrupted when the storage service stopped. Run Check and "
    "Repair again.";
inline constexpr const char *kTextOnlyAdminApproves =
    "Only an administrator can approve device imaging.";

// ---- Attaching, detaching and volumes
inline constexpr const char *kTextInvalidMount = "Invalid mount request.";
inline constexpr const char *kTextInitiatorUnavailable =
    "The Tarnwick initiator service is not available on this Linux system.";
inline constexpr const char *kTextInitiatorCouldNotStart =
    "The Tarnwick initiator service could not start.";
inline constexpr const char *kTextInitiatorLate =
    "The Tarnwick initiator service did not start in time.";
// %s: the initiator's reason.
inline constexpr const char *kTextConnectFailed = "Connecting the encrypted disk: %s";
// %d: the error number.
inline constexpr const char *kTextConnectFailedCode = "Connecting the encrypted disk failed (%d).";
inline constexpr const char *kTextCannotListDevices =
    "Linux could not list the encrypted disk's devices.";
inline constexpr const char *kTextDiskLate = "Linux did not present the encrypted disk in time.";
inline constexpr const char *kTextCannotBringOnline =
    "Linux could not bring the encrypted disk online with the requested access. Nothing was "
    "mounted.";
inline constexpr const char *kTextCannotListVolumes =
    "Linux could not list the encrypted disk's volumes. Nothing was mounted.";
// %d: the most volumes a disk may have.
inline constexpr const char *kTextTooManyVolumes =
    "This image contains more than %d volumes. Tarnwick cannot mount it.";
inline constexpr const char *kTextUnaccountedPartition =
    "Linux could not account for every data partition. No filesystem was repaired; keep the "
    "recovery marker and check a copy on a system that supports every volume.";
inline constexpr const char *kTextUnsupportedCheckVolume =
    "A data volume has an unknown or unsupported filesystem. No filesystem was repaired; keep the "
    "recovery marker and check a copy on a system that supports every volume.";
// %d: the count of data volumes, twice.
inline constexpr const char *kTextChoosePartition =
    "This image contains %d data volumes. Choose a partition number in Advanced, from 1 to %d.";
// Linux itself has ext4; what is missing is a driver Tarnwick mounts with.
inline constexpr const char *kTextNoDriver =
    "Tarnwick has no driver for this container's filesystem (APFS and ext4 are not available to "
    "Tarnwick). Check, copy or export it instead. The container was not changed.";
inline constexpr const char *kTextNoSupportedFilesystem = "No supported data filesystem was found.";
inline constexpr const char *kTextNoMountPoint = "No mount point is free for the mounted volume.";
inline constexpr const char *kTextCannotPrepareVolume =
    "Linux could not present the volume as a device. Nothing was mounted.";
// %s: the driver's program.
inline constexpr const char *kTextDriverMissing =
    "The filesystem driver %s is not installed. Nothing was mounted.";
inline constexpr const char *kTextCannotMount =
    "Linux could not mount the volume. Nothing was mounted.";
inline constexpr const char *kTextMountedWritable =
    "Linux mounted the volume with write access although read-only was requested. Mounting was "
    "stopped.";
inline constexpr const char *kTextKeptInUse =
    "Linux kept the encrypted disk in use. It stays connected; try again.";
inline constexpr const char *kTextCannotFindDisk =
    "Linux could not find the encrypted disk to unmount. Try again.";
inline constexpr const char *kTextKeptMountPoint =
    "Linux kept a mount point of the encrypted disk. It stays connected; try again.";
inline constexpr const char *kTextCannotOffline =
    "Linux could not take the encrypted disk offline. It stays connected; try again.";

// ---- Filesystem checks and formatting
inline constexpr const char *kTextAlreadyChecked = "This session was already checked.";
inline constexpr const char *kTextCannotAttachForCheck =
    "The container's disk could not be attached for a check.";
inline constexpr const char *kTextCannotCheckEveryVolume =
    "Linux could not run fsck on every volume in the container.";

inline constexpr const char *kTextInvalidCreation = "Invalid creation request.";
inline constexpr const char *kTextCannotRecordFormat =
    "The broker could not record the new container's disk. Nothing was formatted.";
inline constexpr const char *kTextFormatCannotBringOnline =
    "Linux could not bring the new container online. Nothing was formatted.";
inline constexpr const char *kTextNotOneEmptyVolume =
    "Linux did not present the new container as one empty volume. Nothing was formatted.";
inline constexpr const char *kTextChooseFilesystem = "Choose FAT32, exFAT or NTFS.";
inline constexpr const char *kTextCannotFormat = "Linux could not format the new container.";
inline constexpr const char *kTextCannotFlushFormat =
    "Linux could not write the new container's filesystem out.";
inline constexpr const char *kTextFormatNotDetached =
    "The new container could not be detached. Linux releases it on restart.";

// ---- Removable devices and imaging
inline constexpr const char *kTextInvalidApproval = "Invalid imaging approval.";
inline constexpr const char *kTextAlreadyLent = "A device is already lent to this connection.";
inline constexpr const char *kTextNeedsApproval =
    "Device imaging needs an administrator's approval.";
inline constexpr const char *kTextNotEligible =
    "The device changed, was removed, or is not an eligible removable disk.";
inline constexpr const char *kTextChangedWhilePrepared =
    "The device changed while it was prepared for reading.";
inline constexpr const char *kTextVolumesOpen =
    "Files on this volume are still open. Close them and try again; the volume is still mounted.";
inline constexpr const char *kTextCannotDismount =
    "Linux could not dismount the volume. It is still mounted.";

// ---- Command line (each printed with a newline to standard error)
inline constexpr const char *kTextRunAsRoot = "Run as root.";
inline constexpr const char *kTextUsage = "Usage: tarnwick-broker [install | remove | purge]";
inline constexpr const char *kTextAlreadyRunning = "Another Tarnwick broker is already running.";
inline constexpr const char *kTextEnginesRunning =
    "Wait for Tarnwick operations (creation, imaging, copies) to finish before updating or "
    "removing Tarnwick.";
inline constexpr const char *kTextDidNotStop =
    "The Tarnwick broker did not stop. Try again shortly.";
inline constexpr const char *kTextRunningOutsideSystemd =
    "The Tarnwick broker is running, but not as the systemd service. Stop it, then try again.";
inline constexpr const char *kTextUnmountAll =
    "Unmount all containers for every account before updating or removing Tarnwick.";
// %s: the broker folder, or "the broker folder".
inline constexpr const char *kTextUnreadableRecords =
    "Some records in %s could not be read. If no Tarnwick disk is attached, delete them and try "
    "again.\n";
inline constexpr const char *kTextFormatStillAttached =
    "A disk from an interrupted container creation is still attached. Restart Linux, then try "
    "again.\n";
// %s: the unit file written.
inline constexpr const char *kTextNoSystemd =
    "Wrote %s, but systemd is not running here, so the broker was neither enabled nor started.\n";
inline constexpr const char *kTextSystemctlFailed =
    "systemctl could not enable and start tarnwick-broker.service.";
inline constexpr const char *kTextCannotWriteUnit = "The unit file %s could not be written.\n";
inline constexpr const char *kTextCannotRemoveUnit = "The unit file %s could not be removed.\n";
inline constexpr const char *kTextCannotStart = "The broker could not start: %s.\n";

// ---- Log lines
inline constexpr const char *kLogStarted = "broker %s build %d started";
inline constexpr const char *kLogStopped = "broker stopped";
inline constexpr const char *kLogPipeFailed = "cannot create the broker pipe (%d)";
inline constexpr const char *kLogApproved = "imaging of %s approved for %s";
inline constexpr const char *kLogLent = "lent disk to process %lu";
// id, disk number, and " for a check" when repairing.
inline constexpr const char *kLogAttached = "attached %s disk %lu%s";
inline constexpr const char *kLogAttachFailed = "attach %s failed: %s";
inline constexpr const char *kLogUnmounted = "unmounted %s";
// id, the tools, the status, "clean" or "not clean".
inline constexpr const char *kLogChecked = "checked %s: %s %d, %s";
inline constexpr const char *kLogFormatLoggedIn = "format: logged in after %llu ms";
inline constexpr const char *kLogFormatDisk = "format: disk %lu with %d volume(s) after %llu ms";
// "formatted" or "failed", the method.
inline constexpr const char *kLogFormatResult = "format: %s through %s after %llu ms";
inline constexpr const char *kLogFormatDismounted = "format: dismounted after %llu ms";
// process id, filesystem, duration.
inline constexpr const char *kLogFormatted = "formatted unit for process %lu as %s in %llu ms";
inline constexpr const char *kLogRestoreFailed =
    "unmount %s: the volume could not be mounted again";

} // namespace tw
