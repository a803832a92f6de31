// A scripted engine and mount service for the window's tests: the replies
// are set by the test, the calls are recorded. Used where the real programs
// are not the point.
#pragma once

#include "gui/main_window.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tw {

struct ScriptedBackend {
    std::mutex mutex;
    // The status object the service answers (JSON text); empty: the
    // service is unavailable with `service_error`.
    std::string status = R"({"sessions":[],"warnings":[],"serviceUpdateAvailable":false,)"
                         R"("canRestartService":true})";
    std::string service_error = "The mount service is unavailable.";
    // The summary an inspect (or any file operation) returns (JSON text);
    // empty: the operation fails with `engine_error`.
    std::string summary = R"({"format":"salted","cipher":"AES-256-XTS","algorithm":9,)"
                          R"("filesystem":"FAT32","writeSupported":true,"size":67108864,)"
                          R"("verified":true,"recoveryRequired":false,"plaintext":false,)"
                          R"("isCD":false,"writeSessionRecovery":false})";
    std::string engine_error = "The engine failed.";
    // The report a check and repair returns (JSON text).
    std::string repair_report = R"({"filesystem":"FAT32","repairStatus":0,"repairClean":true,)"
                                R"("repairOutput":""})";
    // File operations wait until released (tests of running activities).
    std::atomic<bool> hold{false};
    std::vector<std::string> calls; // "inspect PATH", "mount PATH", "login", ...
    // What each mount, repair and file operation was given to unlock with:
    // "CALL KEY CIPHER" (the system key's text, the unlock cipher).
    std::vector<std::string> unlocking;
};

// The one scripted backend of the test program, and the GuiBackend that
// answers from it.
ScriptedBackend &scripted();
GuiBackend scripted_backend();
std::vector<std::string> scripted_calls();

} // namespace tw
