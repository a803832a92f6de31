// Messages of the shared runtime for people, in one place.
#pragma once

namespace tw {

// Connecting to the broker and exchanging one request with it.
inline constexpr const char *kTextBrokerBusy =
    "The Tarnwick storage service is busy. Try again shortly.";
inline constexpr const char *kTextBrokerNotRunning =
    "The Tarnwick storage service is not running. Reinstall Tarnwick or start the Tarnwick "
    "Broker service.";
inline constexpr const char *kTextBrokerNotInstalled =
    "The storage service is not the installed Tarnwick broker. Nothing was sent to it.";
inline constexpr const char *kTextBrokerNotAccepted =
    "The storage service did not accept the request.";
inline constexpr const char *kTextBrokerNoReply = "The storage service did not reply.";
inline constexpr const char *kTextBrokerOtherVersion =
    "The storage service is from another Tarnwick version. Reinstall Tarnwick.";

} // namespace tw
