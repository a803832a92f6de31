// The command line's fixed texts for people: messages, prompts and report
// lines, kept in one place so the wording can be read and changed together
// (the container summary lines are composed beside the result they print).
// Texts that name a part of the system (the initiator service, the folders,
// the filesystem checker) sit here too; the usage text is in usage.cpp.
#pragma once

namespace tw {

// ---- Arguments and options
inline constexpr const char *kTextInvalidArguments = "Invalid arguments.";
inline constexpr const char *kTextIncorrectArguments = "Incorrect arguments. Run tarnwick --help.";
inline constexpr const char *kTextUnknownCommand = "Unknown command. Run tarnwick --help.";
inline constexpr const char *kTextUnknownOption = "Unknown option. Run tarnwick --help.";
inline constexpr const char *kTextUnknownAlgorithm =
    "Unknown encryption algorithm. Run tarnwick --help.";
inline constexpr const char *kTextStdinOption =
    "Use --credentials-stdin for creation, conversion or replacement, or --password-stdin for "
    "other credential operations.";
inline constexpr const char *kTextCompressionUsage =
    "Use --experimental-compression off|fast CHUNK_BYTES with create, image, rekey, convert or "
    "replace.";
inline constexpr const char *kTextCompressionValues =
    "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes.";
inline constexpr const char *kTextImportUncompressed =
    "Import-veracrypt writes an uncompressed ZCX.";
inline constexpr const char *kTextAlgorithmUsage =
    "Use --algorithm with an encryption algorithm name for create, image, convert or replace.";
inline constexpr const char *kTextCipherWarning =
    "Warning: AES-256-XTS is the recommended default. Read this cipher's notice in Important "
    "Information and Licenses.";
inline constexpr const char *kTextWriteOptionUsage = "Use --experimental-write only with mount.";
inline constexpr const char *kTextFullUsage = "Use --full only with verify.";
// verify --full: the whole disk was read; each damaged range, with the files
// in it when they could be named.
inline constexpr const char *kTextFullCheckClean = "Full check: every block was read and is intact";
inline constexpr const char *kTextFullCheckDamaged =
    "Full check: the container is damaged. Keep the file as it is, copy out what is still "
    "readable, and check your backup.";
inline constexpr const char *kTextDamagedRange = "Damaged: bytes %s of the disk (%s)";
inline constexpr const char *kTextDamagedFile = "  lost or damaged: %s";
// The mount service's commands.
inline constexpr const char *kTextNoSessions = "No mounted containers.";
inline constexpr const char *kTextMountPointLine = "  Mount point: ";
inline constexpr const char *kTextUnmountUsage =
    "Use tarnwick sessions to find the session UUID, then tarnwick unmount UUID.";
inline constexpr const char *kTextUnmounted = "Unmounted.";
inline constexpr const char *kTextRepairUsage = "Use tarnwick repair FILE.";
// Filesystem, "clean" or "problems remain", and the check's exit status.
inline constexpr const char *kTextRepairResult = "%s: %s (fsck exit %lld)";
inline constexpr const char *kTextWriteAccessAgain = "Write access is available again.";
inline constexpr const char *kTextServiceCanRestart = "Service can restart.";
inline constexpr const char *kTextServiceCannotRestart =
    "Unmount containers and finish recovery before restarting the service.";
inline constexpr const char *kTextServiceStopped = "Mount service stopped.";
inline constexpr const char *kTextLabelUsage = "Use --label with a mount name.";
inline constexpr const char *kTextPartitionUsage =
    "Use --partition with a positive data-volume number.";
inline constexpr const char *kTextCreateUsage =
    "Use tarnwick create OUTPUT SIZE_MIB fat32|exfat|ntfs LABEL.";
inline constexpr const char *kTextRecoverUsage = "Use recover-replacement FILE.";
// "%s" stands for the command.
inline constexpr const char *kTextUnavailableCommand =
    "The %s command is not available in this version of Tarnwick.";

// ---- Prompts
inline constexpr const char *kTextPasswordPrompt = "Password (empty for an unencrypted image): ";
inline constexpr const char *kTextCurrentPasswordPrompt = "Current password: ";
inline constexpr const char *kTextVeracryptPasswordPrompt = "VeraCrypt password: ";
inline constexpr const char *kTextNewPasswordPrompt = "New password: ";
inline constexpr const char *kTextConfirmPasswordPrompt = "Confirm new password: ";

// ---- Results
inline constexpr const char *kTextCancelled = "Operation cancelled.";
inline constexpr const char *kTextOperationFailed = "The operation failed.";
inline constexpr const char *kTextResultNotWritten = "The result could not be written.";
inline constexpr const char *kTextNoDevices = "No eligible removable devices found.";
inline constexpr const char *kTextImageUsage = "Use image DEVICE OUTPUT.";
inline constexpr const char *kTextChooseDevice = "Choose an eligible source from tarnwick devices.";
// %s: the device's name, then its size in bytes.
inline constexpr const char *kTextReadingDevice =
    "Reading %s, %s bytes. Its volumes will be unmounted.";
inline constexpr const char *kTextImportRecordsKept =
    "Warning: Some records of interrupted imports were kept because the files they name failed a "
    "safety check. Review ~/.local/share/Tarnwick/import-staging before you delete anything "
    "there.";

// ---- benchmark
inline constexpr const char *kTextBenchmarkTitle =
    "Speed of this machine (MB/s = 10^6 bytes per second)";
inline constexpr const char *kTextBenchmarkCipher = "%s, 512-byte sectors";
inline constexpr const char *kTextBenchmarkEncryptDecrypt = "encrypt %.0f MB/s, decrypt %.0f MB/s";
inline constexpr const char *kTextBenchmarkHmac = "HMAC-SHA-256, 16 KiB chunks";
inline constexpr const char *kTextBenchmarkLz4 = "LZ4, 16 KiB chunks";
inline constexpr const char *kTextBenchmarkLz4Rates = "compress %.0f MB/s, decompress %.0f MB/s";
inline constexpr const char *kTextBenchmarkV3 = "v3 container, 16 KiB chunks, %lld threads";
inline constexpr const char *kTextBenchmarkV3Rates = "write %.0f MB/s, read %.0f MB/s";
inline constexpr const char *kTextBenchmarkRate = "%.0f MB/s";
inline constexpr const char *kTextBenchmarkKdf = "Storage-key derivation";
inline constexpr const char *kTextBenchmarkKdfTime = "%.0f ms";

// ---- doctor
inline constexpr const char *kTextBrokerNotRunning = "The Tarnwick Broker service is not running.";
inline constexpr const char *kTextInitiatorMissing =
    "The Tarnwick initiator service is disabled or missing.";
inline constexpr const char *kTextBrokerUnverified =
    "The broker's socket is not served by the installed Tarnwick broker.";
inline constexpr const char *kTextSessionServiceMissing =
    "The Tarnwick session service is missing.";
inline constexpr const char *kTextNoFilesystemDriver =
    "No driver for FAT, exFAT or NTFS is available; install fusefat, exfat-fuse or ntfs-3g.";
inline constexpr const char *kTextEngineLine = "Engine: ";
inline constexpr const char *kTextSessionServiceLine = "Session service: ";
inline constexpr const char *kTextDriverLine = "%s driver: %s";
inline constexpr const char *kTextBrokerLine = "Broker service: ";
inline constexpr const char *kTextInitiatorLine = "Tarnwick initiator service: ";
inline constexpr const char *kTextOperatingSystemLine = "Operating system: ";
inline constexpr const char *kTextMountingLine =
    "Mounting: read-only by default; opt-in experimental writes";

} // namespace tw
