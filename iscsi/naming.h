// The names under which Tarnwick's targets are known to initiators.
//
// Every target of the product (a mount worker's, the engine's format target)
// is named "<authority>:<id>" in lower case, and the broker accepts only
// targets under this authority, so the three must agree on one constant.
#pragma once

namespace tw {

// The IQN naming authority: "iqn.", the year and month, the reversed domain.
inline constexpr const char kTarnwickIqnAuthority[] = "iqn.2026-12.com.tarnwick";

// The CHAP user name a target of the product accepts.
inline constexpr const char kTarnwickChapName[] = "tarnwick";

} // namespace tw
