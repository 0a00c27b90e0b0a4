// Which network addresses a URL fetch may connect to.
#pragma once

#include <sys/socket.h>

#include <string_view>

namespace host {

enum class AddressKind {
  kPublic,       // globally routed unicast
  kLoopback,     // 127/8, ::1
  kPrivate,      // 10/8, 172.16/12, 192.168/16, 198.18/15, fc00::/7, fec0::/10, 64:ff9b:1::/48
  kLinkLocal,    // 169.254/16, fe80::/10
  kUnspecified,  // 0/8, :: (connecting to 0.0.0.0 reaches this host)
  kShared,       // 100.64/10, carrier-grade NAT
  kMulticast,    // 224/4, ff00::/8
  kBroadcast,    // 255.255.255.255
  kReserved,     // 240/4, 192.0.0/24, documentation ranges, 100::/64, 2001:db8::/32
  kInvalid,      // not an IPv4 or IPv6 address
};

// IPv6 addresses that carry an IPv4 address (mapped ::ffff:a.b.c.d,
// compatible ::a.b.c.d, NAT64 64:ff9b::a.b.c.d, 6to4 2002:aabb:ccdd::) are
// judged as that IPv4 address, since that is where packets to them end up.
AddressKind ClassifyAddress(const sockaddr* address, socklen_t length);

// The same for an address written as text ("10.1.2.3", "fe80::1%eth0").
AddressKind ClassifyAddressText(std::string_view text);

// Whether a fetch may connect to an address of this kind. Loopback, private,
// link-local, unspecified and shared addresses need `allow_private`;
// multicast, broadcast, reserved and invalid ones are never reachable by TCP
// and always refused.
bool AddressAllowed(AddressKind kind, bool allow_private);

// "public", "loopback", ... for log lines and test failures.
const char* AddressKindName(AddressKind kind);

}  // namespace host
