#pragma once

// The generated message types of the control channel and of the unit's
// configuration record, with the limits the rest of the program relies on.
#include "protocol/config.pb.h"
#include "protocol/control.pb.h"

#include <cstddef>

namespace Protocol {
// A framed Request or Response is one length byte plus at most this many bytes.
// Fixed by the unit's firmware, not by what the generator computes.
inline constexpr int MaxMessageSize = 44;
// Largest encoded ProxyFrame that follows a relayFrameLength announcement.
inline constexpr int MaxProxyFrameSize = ProxyFrame_size;
} // namespace Protocol

// Debian's nanopb runtime is built with 16-bit pb_size_t: every message struct
// must stay below 64 kB for its descriptors to be valid.
static_assert(sizeof(ProxyFrame) < 65536, "ProxyFrame must fit 16-bit nanopb descriptors");
static_assert(sizeof(CompressedFrameData) <= 65520, "a compressed frame record occupies 65520 bytes");
static_assert(Request_size <= Protocol::MaxMessageSize, "every request must fit the 44-byte frame");
