#pragma once

// The unit's own mDNS host name, answered by every unit out of the box. One
// constant for the direct lookup, the relay advertisement's log filter and the
// simulated unit.
inline constexpr char kUnitMdnsHostname[] = "vq6020.local.";
