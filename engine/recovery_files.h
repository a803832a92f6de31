// Leftovers of an unfinished conversion or partial copy next to a container.
#pragma once

namespace tw {

enum class RecoveryFiles { none, found, check_failed };

// Looks for the recovery files of the container path X: X itself when it is
// a copy writer's partial output (".openzcx-rekey-*.partial"), "X.idx" and
// the replacement journal "X.openzcx-journal". A status query that fails for
// any reason other than "not found" makes the check fail: nothing may be
// opened on a guess.
RecoveryFiles recovery_files_check(const char *path);

} // namespace tw
