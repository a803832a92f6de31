// The session service's request protocol on the wire: the socket, the
// actions, the members of requests, replies and session records, the phases
// and the error codes. Front-ends include this header so that both sides
// spell every name the same way; the messages are in session/texts.h.
//
// One framed JSON request and one reply per connection (runtime/pipes.h).
// Every reply, also a failed one, has "version" 1, the echoed "operationID",
// the full list of "sessions", the "warnings" and the "service" object; a
// failure adds "error" with "code" and "message".
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::session_wire {

// ---- Versions
inline constexpr int64_t kVersionMin = 1;
inline constexpr int64_t kVersionMax = 8;
inline constexpr int64_t kVersionTickets = 5;  // prepare-mount, tickets, instance check
inline constexpr int64_t kVersionShutdown = 4; // shutdown
inline constexpr int64_t kVersionRepair = 8;   // repair
// Writable access (a writable mount, any repair) needs a version above this.
inline constexpr int64_t kVersionWriteAbove = 5;

// ---- Limits
inline constexpr size_t kSessionSlots = 16;
inline constexpr size_t kTicketSlots = 64;
inline constexpr size_t kOperationIdMax = 36;
inline constexpr size_t kCredentialsTextMax = 12000;       // base64 characters
inline constexpr size_t kCredentialsMax = 8192;            // decoded bytes
inline constexpr uint64_t kTicketLifetime = 6000000000ull; // 600 s in 100 ns units
inline constexpr int kRequestTimeoutMs = 10000;
inline constexpr int kMaxRequestThreads = 15;

// ---- Actions
inline constexpr const char kActionList[] = "list";
inline constexpr const char kActionPrepareMount[] = "prepare-mount";
inline constexpr const char kActionMount[] = "mount";
inline constexpr const char kActionUnmount[] = "unmount";
inline constexpr const char kActionRepair[] = "repair";
inline constexpr const char kActionPreferences[] = "preferences";
inline constexpr const char kActionLogin[] = "login";
inline constexpr const char kActionForget[] = "forget";
inline constexpr const char kActionShutdown[] = "shutdown";

// ---- Sign-in mounting: the request it sends for each library entry
inline constexpr int64_t kVersionLoginMount = 3;

// ---- Request members
inline constexpr const char kVersion[] = "version";
inline constexpr const char kOperationId[] = "operationID";
inline constexpr const char kAction[] = "action";
inline constexpr const char kPath[] = "path";
inline constexpr const char kPartition[] = "partition";
inline constexpr const char kPreferences[] = "preferences";
inline constexpr const char kEntryId[] = "entryID";
inline constexpr const char kRemember[] = "remember";
inline constexpr const char kCredentials[] = "credentials";
inline constexpr const char kMountTicket[] = "mountTicket";
inline constexpr const char kServiceInstance[] = "serviceInstance";
inline constexpr const char kSessionId[] = "sessionID";

// ---- Preferences
inline constexpr const char kReadOnly[] = "readOnly";
inline constexpr const char kMountOnLogin[] = "mountOnLogin";
inline constexpr const char kIdleSeconds[] = "idleSeconds";
inline constexpr const char kVolumeLabel[] = "volumeLabel";
// Their rules: runtime/mount_preferences.h.

// ---- Reply members
inline constexpr const char kRepairReport[] = "repair";
inline constexpr const char kError[] = "error";
inline constexpr const char kCode[] = "code";
inline constexpr const char kMessage[] = "message";
inline constexpr const char kSessions[] = "sessions";
inline constexpr const char kWarnings[] = "warnings";
inline constexpr const char kService[] = "service";
// Members of "service".
inline constexpr const char kInstance[] = "instance";
inline constexpr const char kPid[] = "pid";
inline constexpr const char kStart[] = "start";
inline constexpr const char kServicePath[] = "path";
inline constexpr const char kBuild[] = "build";
inline constexpr const char kCanRestart[] = "canRestart";

// ---- Session record members ("session.json", and each entry of "sessions")
inline constexpr const char kId[] = "id";
inline constexpr const char kSourceVolume[] = "sourceVolume";
inline constexpr const char kSourceFile[] = "sourceFile";
inline constexpr const char kBoot[] = "boot";
inline constexpr const char kWritable[] = "writable";
inline constexpr const char kRepair[] = "repair";
inline constexpr const char kExplorerName[] = "explorerName";
inline constexpr const char kPhase[] = "phase";
inline constexpr const char kIdleMessage[] = "idleMessage";
inline constexpr const char kWorkerPid[] = "workerPID";
inline constexpr const char kWorkerStart[] = "workerStart";
inline constexpr const char kInfo[] = "info";
inline constexpr const char kMountPoint[] = "mountPoint";
inline constexpr const char kVolume[] = "volume";
inline constexpr const char kFilesystem[] = "filesystem";
// kVolumeLabel above, as the broker reports it.
inline constexpr const char kRepairTool[] = "repairTool";
inline constexpr const char kRepairStatus[] = "repairStatus";
inline constexpr const char kRepairOutput[] = "repairOutput";
inline constexpr const char kRepairClean[] = "repairClean";
inline constexpr const char kRepairError[] = "repairError";
inline constexpr const char kMarkerError[] = "markerError";

// ---- Phases
inline constexpr const char kPhaseStarting[] = "starting";
inline constexpr const char kPhaseAttaching[] = "attaching";
inline constexpr const char kPhaseMounted[] = "mounted";
inline constexpr const char kPhaseRepairing[] = "repairing";
inline constexpr const char kPhaseRepaired[] = "repaired";
inline constexpr const char kPhaseUnmounting[] = "unmounting";
inline constexpr const char kPhaseRecoveryRequired[] = "recoveryRequired";
inline constexpr const char kPhaseWriteFailed[] = "writeFailed";

// ---- Error codes
inline constexpr const char kCodeProtocol[] = "protocol";
inline constexpr const char kCodeMount[] = "mount";
inline constexpr const char kCodeServiceChanged[] = "serviceChanged";
inline constexpr const char kCodeServiceBusy[] = "serviceBusy";
inline constexpr const char kCodeMountRequestChanged[] = "mountRequestChanged";
inline constexpr const char kCodeMountRequestsFull[] = "mountRequestsFull";
inline constexpr const char kCodeMountRequestExpired[] = "mountRequestExpired";
inline constexpr const char kCodeMountEnded[] = "mountEnded";
inline constexpr const char kCodeUnmount[] = "unmount";
inline constexpr const char kCodeRegistry[] = "registry";
inline constexpr const char kCodeKeychain[] = "keychain";
inline constexpr const char kCodeLabel[] = "label";
inline constexpr const char kCodeWriteLogin[] = "writeLogin";
inline constexpr const char kCodeIdle[] = "idle";
inline constexpr const char kCodeLimit[] = "limit";
inline constexpr const char kCodeWriteUnsupported[] = "writeUnsupported";
inline constexpr const char kCodeSource[] = "source";
inline constexpr const char kCodeBusy[] = "busy";
inline constexpr const char kCodeRecovery[] = "recovery";
inline constexpr const char kCodeInstallation[] = "installation";
inline constexpr const char kCodeWorker[] = "worker";
inline constexpr const char kCodeCleanup[] = "cleanup";
inline constexpr const char kCodeWriteFailed[] = "writeFailed";
inline constexpr const char kCodeCredentials[] = "credentials"; // passed on from the worker
inline constexpr const char kCodeLogin[] = "login";
inline constexpr const char kCodeLibrary[] = "library";
inline constexpr const char kCodeSession[] = "session";

} // namespace tw::session_wire
