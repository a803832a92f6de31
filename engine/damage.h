// How the engine tells a user that a container is damaged: which part of it,
// which bytes of the disk that part holds, and what to do. All texts of
// damage reports live here.
#pragma once

#include "container/container.h"

namespace tw {

// The complete message for `damage` (caller frees with std::free), or null
// when it names no damage or memory ran out.
char *damage_message_alloc(const ContainerDamage &damage);

// Writes the error event for `damage` (code "io") and returns the exit code.
// When `damage` names nothing, `fallback` is the message, or with a null
// `fallback` a general one that the container is damaged.
int engine_fail_damage(const ContainerDamage &damage, const char *fallback);

} // namespace tw
