// Messages of the session service for people, in one place. Each goes out
// as the "message" of a reply's "error", or into a session record's
// "message", or into the warnings.
#pragma once

namespace tw::session_text {

// ---- Requests
inline constexpr const char kUnsupportedVersion[] = "Unsupported mount protocol version.";
inline constexpr const char kRestarting[] =
    "The mount service is restarting. Try again; this request was not run.";
inline constexpr const char kPrepareVersion[] = "Mount preparation requires protocol version 5.";
inline constexpr const char kPrepareMembers[] =
    "Mount preparation needs a path and must not include credentials.";
inline constexpr const char kRequestChanged[] =
    "The mount request changed. Refresh the sessions before starting a new request.";
inline constexpr const char kRequestsFull[] =
    "Too many recent mount requests. Wait a few minutes before trying again.";
inline constexpr const char kInstanceChanged[] =
    "The mount service changed. Refresh the sessions before starting a new mount; this request "
    "was not repeated.";
inline constexpr const char kTicketExpired[] =
    "This mount request expired or its service restarted. Refresh the sessions before starting a "
    "new mount; this request was not repeated.";
inline constexpr const char kMountEnded[] =
    "This request's mount has ended or needs recovery. Refresh the sessions; it was not mounted "
    "again.";
inline constexpr const char kShutdownChanged[] =
    "The mount service changed. Refresh its status before restarting it.";
inline constexpr const char kServiceBusy[] =
    "Unmount all containers and finish session recovery before restarting the mount service. "
    "Existing sessions have been left running.";
inline constexpr const char kRepairVersion[] = "Check and Repair requires protocol version 8.";
inline constexpr const char kUnmountNeedsId[] = "An unmount request needs a session UUID.";
inline constexpr const char kUnmountFailed[] = "The volume could not be unmounted.";
inline constexpr const char kUnknownOperation[] = "Unknown mount operation.";
inline constexpr const char kPreferencesNotSaved[] = "The preferences could not be saved.";
inline constexpr const char kForgetNeedsEntry[] = "A library entry is required.";
inline constexpr const char kForgetFailed[] =
    "The saved password could not be removed from the keyring.";

// ---- Mount and repair checks
inline constexpr const char kNeedsPathAndCredentials[] =
    "A mount request needs a path and credentials.";
inline constexpr const char kDamagedRecords[] =
    "Resolve the damaged session records before mounting another container. Existing sessions "
    "remain available.";
inline constexpr const char kLimit[] =
    "Unmount or recover an existing session before mounting another container.";
inline constexpr const char kWriteUnsupported[] =
    "Write access requires a current Tarnwick client.";
inline constexpr const char kRepairMembers[] =
    "A repair request takes only a path and credentials: every data volume is checked.";
inline constexpr const char kRememberNeedsEntry[] = "Saving credentials requires a library entry.";
inline constexpr const char kSource[] = "Select an existing regular container file.";
inline constexpr const char kBusy[] =
    "This container already has a session, possibly through another filename.";
inline constexpr const char kRecovery[] =
    "An unfinished conversion or partial copy was detected. Container access is blocked.";

// ---- Worker start
inline constexpr const char kInstallation[] =
    "The mount helper is missing. Reinstall Tarnwick before mounting.";
inline constexpr const char kWorkerNoLine[] = "The mount worker stopped before it was ready.";
inline constexpr const char kWorkerVersion[] =
    "The mount worker is from another Tarnwick version. Reinstall Tarnwick.";
inline constexpr const char kWorkerStopped[] = "The mount worker stopped.";
inline constexpr const char kNotRecorded[] =
    "The mount session could not be recorded. Nothing was attached.";
inline constexpr const char kMountNotRecorded[] = "The mount session could not be recorded.";
inline constexpr const char kAttachFailed[] = "The encrypted disk could not be attached.";
// %s: the attach message, %s: the clean-up message.
inline constexpr const char kAttachCleanup[] = "%s\nCleanup: %s";
inline constexpr const char kStartRecordKept[] =
    "Mounting failed, and its session record could not be removed. Retry cleanup.";

// ---- Saved credentials (a failed save leaves the container mounted)
inline constexpr const char kNotSaved[] =
    "The container is mounted, but its password could not be saved in the keyring.";
inline constexpr const char kTooLongToSave[] =
    "The container is mounted, but its password is too long for the keyring and was not saved.";
inline constexpr const char kNothingSaved[] =
    "No password is saved for this container. Mount it once with Remember in the keyring "
    "selected.";
inline constexpr const char kSavedUnavailable[] =
    "Saved credentials are unavailable. Mount manually.";
inline constexpr const char kSavedUnreadable[] =
    "The saved credentials could not be read. Mount manually and save them again.";

// ---- Sign-in mounting
inline constexpr const char kLoginRemote[] =
    "Automatic mounting requires a local graphical sign-in.";
inline constexpr const char kLoginUnidentified[] =
    "Automatic mounting could not identify this sign-in.";
inline constexpr const char kLibraryNewer[] = "This library needs a newer Tarnwick version.";
inline constexpr const char kLibraryUnreadable[] = "The library file could not be read.";
inline constexpr const char kLoginNotSaved[] =
    "The sign-in record could not be saved. Automatic mounting was stopped.";
inline constexpr const char kSavedContainerChanged[] =
    "The saved container is missing or was replaced. Locate it and mount manually.";
// %s: the container's file name, %s: the failure.
inline constexpr const char kLoginIssue[] = "%s: %s";

// ---- Preferences and automatic unmounting
inline constexpr const char kRefreshBeforePreferences[] =
    "Refresh the selected mount before changing its preferences.";
inline constexpr const char kIdlePaused[] =
    "Inactivity monitoring is unavailable. Automatic unmounting is paused.";
// %s: the unmount's message.
inline constexpr const char kIdleUnmountFailed[] = "Automatic unmount: %s";

// ---- Repair
inline constexpr const char kRepairNotRecorded[] =
    "The repair session could not be recorded. Nothing was checked.";
inline constexpr const char kMarkerError[] =
    "The mount worker could not be told the check was clean, so its write recovery marker "
    "stays. Run Check and Repair again.";
// %s: " and found the filesystem clean" or "", %s: the unmount's message.
inline constexpr const char kRepairNotReleased[] =
    "The filesystem check finished%s, but the disk was not released: %s";
inline constexpr const char kFoundClean[] = " and found the filesystem clean";
// %s: the broker client's message.
inline constexpr const char kRepairNotFinished[] = "The filesystem check did not finish: %s";
inline constexpr const char kCheckRunning[] = "The filesystem check is still running.";

// ---- Unmount
inline constexpr const char kWorkerFinishing[] =
    "The mount worker is still finishing. Its session was kept; retry cleanup after it exits.";
inline constexpr const char kRepairWriteFailed[] =
    "The disk is detached, but its final flush or the removal of its write recovery marker was "
    "not confirmed. Run Check and Repair again before writing. Dismissing this error removes the "
    "session record, not the marker.";
inline constexpr const char kWriteFailed[] =
    "The volume is unmounted, but successful write completion was not confirmed. Use Check and "
    "Repair before writing again. Dismissing this error removes the session record, not the "
    "recovery marker beside the container.";
// %s%s: a line feed and the broker's message, or nothing.
inline constexpr const char kCleanupNotConfirmed[] =
    "The disk is detached, but the storage service did not confirm cleanup. Retry cleanup.%s%s";
inline constexpr const char kRecordNotRemoved[] =
    "The disk is detached, but its session record could not be removed. Retry cleanup.";

// ---- Refresh
inline constexpr const char kWriteLost[] =
    "A backing write or flush failed. Further writes are blocked. Unmount this volume and check "
    "or recover the container before writing again.";
inline constexpr const char kWorkerDied[] =
    "The mount worker stopped while the volume was mounted. Unmount to detach the disk, then "
    "check the container before writing again.";
inline constexpr const char kConnectionLost[] =
    "Linux lost the connection to the encrypted disk. Unmount it, then check the container.";
inline constexpr const char kMountInterrupted[] =
    "Mounting was interrupted. Retry cleanup to release its resources.";
inline constexpr const char kCheckFinishedClean[] =
    "The filesystem check finished clean while the mount service restarted. Unmount it to "
    "release the disk; its write recovery marker then goes.";
inline constexpr const char kCheckInterrupted[] =
    "The filesystem check was interrupted when the mount service restarted. Unmount it, then run "
    "Check and Repair again.";

// ---- Record warnings
inline constexpr const char kCannotList[] =
    "The session records could not be listed. Existing mounts were left unchanged; restart the "
    "mount service before mounting another container.";
// %s: the session id.
inline constexpr const char kDamagedRecord[] =
    "Session %s needs recovery: its record is damaged. Its files and mounts were left unchanged.";
inline constexpr const char kMoreDamagedRecords[] =
    "Additional damaged session records were preserved. Inspect the private runtime directory "
    "before mounting more containers.";

// ---- Log lines (standard error)
inline constexpr const char kLogNoLogind[] =
    "tarnwick-service: logind is not running; sign-out does not unmount containers";
inline constexpr const char kLogLogind[] =
    "tarnwick-service: sign-out unmounts containers through logind";

} // namespace tw::session_text
