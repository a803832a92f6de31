// The actions of the broker protocol, one function each.
#pragma once

#include "broker/service.h"

namespace tw {

using BrokerAction = JsonValue *(*)(BrokerRequest *request);

struct BrokerActionEntry {
    const char *name;
    BrokerAction run;
    // The action takes the global lock itself, around its record updates
    // only (format, repair): its long work must not stop every other request.
    bool locks_itself;
};

// The entry for an action name, or null for an unknown one.
const BrokerActionEntry *broker_action_for(const char *name);

} // namespace tw
