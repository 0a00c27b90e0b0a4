#include "host/net/address_policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace host {
namespace {

// `a` in host byte order.
AddressKind ClassifyV4(std::uint32_t a) {
  auto in = [a](std::uint32_t net, int bits) {
    std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    return (a & mask) == net;
  };
  if (a == 0xffffffffu) return AddressKind::kBroadcast;
  if (in(0x00000000u, 8)) return AddressKind::kUnspecified;
  if (in(0x7f000000u, 8)) return AddressKind::kLoopback;
  if (in(0x0a000000u, 8) || in(0xac100000u, 12) || in(0xc0a80000u, 16) || in(0xc6120000u, 15)) {
    return AddressKind::kPrivate;
  }
  if (in(0xa9fe0000u, 16)) return AddressKind::kLinkLocal;
  if (in(0x64400000u, 10)) return AddressKind::kShared;
  if (in(0xe0000000u, 4)) return AddressKind::kMulticast;
  if (in(0xf0000000u, 4) || in(0xc0000000u, 24) || in(0xc0000200u, 24) || in(0xc6336400u, 24) ||
      in(0xcb007100u, 24)) {
    return AddressKind::kReserved;
  }
  return AddressKind::kPublic;
}

std::uint32_t V4At(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

AddressKind ClassifyV6(const unsigned char* b) {
  auto zero = [b](int from, int to) {
    for (int i = from; i < to; ++i) {
      if (b[i] != 0) return false;
    }
    return true;
  };
  if (zero(0, 16)) return AddressKind::kUnspecified;
  if (zero(0, 15) && b[15] == 1) return AddressKind::kLoopback;
  // ::ffff:a.b.c.d and the deprecated ::a.b.c.d.
  if (zero(0, 10) && ((b[10] == 0xff && b[11] == 0xff) || (b[10] == 0 && b[11] == 0))) {
    return ClassifyV4(V4At(b + 12));
  }
  // NAT64, well-known prefix 64:ff9b::/96; the local-use 64:ff9b:1::/48 is
  // translated by a gateway of the site's own.
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) {
    if (zero(4, 12)) return ClassifyV4(V4At(b + 12));
    if (b[4] == 0 && b[5] == 1) return AddressKind::kPrivate;
  }
  if (b[0] == 0x20 && b[1] == 0x02) return ClassifyV4(V4At(b + 2));  // 6to4
  if (b[0] == 0xff) return AddressKind::kMulticast;
  if ((b[0] & 0xfe) == 0xfc) return AddressKind::kPrivate;                        // fc00::/7
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return AddressKind::kLinkLocal;      // fe80::/10
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return AddressKind::kPrivate;        // fec0::/10
  if (b[0] == 0x01 && b[1] == 0x00 && zero(2, 8)) return AddressKind::kReserved;  // 100::/64
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8) {
    return AddressKind::kReserved;  // 2001:db8::/32
  }
  return AddressKind::kPublic;
}

}  // namespace

AddressKind ClassifyAddress(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return AddressKind::kInvalid;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in v4;
    std::memcpy(&v4, address, sizeof v4);
    return ClassifyV4(ntohl(v4.sin_addr.s_addr));
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address, sizeof v6);
    return ClassifyV6(v6.sin6_addr.s6_addr);
  }
  return AddressKind::kInvalid;
}

AddressKind ClassifyAddressText(std::string_view text) {
  // A scope ("%eth0") names the interface, not the address.
  std::string bare(text.substr(0, text.find('%')));
  in_addr v4;
  if (inet_pton(AF_INET, bare.c_str(), &v4) == 1) return ClassifyV4(ntohl(v4.s_addr));
  in6_addr v6;
  if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) return ClassifyV6(v6.s6_addr);
  return AddressKind::kInvalid;
}

bool AddressAllowed(AddressKind kind, bool allow_private) {
  switch (kind) {
    case AddressKind::kPublic:
      return true;
    case AddressKind::kLoopback:
    case AddressKind::kPrivate:
    case AddressKind::kLinkLocal:
    case AddressKind::kUnspecified:
    case AddressKind::kShared:
      return allow_private;
    case AddressKind::kMulticast:
    case AddressKind::kBroadcast:
    case AddressKind::kReserved:
    case AddressKind::kInvalid:
      return false;
  }
  return false;
}

const char* AddressKindName(AddressKind kind) {
  switch (kind) {
    case AddressKind::kPublic:
      return "public";
    case AddressKind::kLoopback:
      return "loopback";
    case AddressKind::kPrivate:
      return "private";
    case AddressKind::kLinkLocal:
      return "link-local";
    case AddressKind::kUnspecified:
      return "unspecified";
    case AddressKind::kShared:
      return "shared (carrier-grade NAT)";
    case AddressKind::kMulticast:
      return "multicast";
    case AddressKind::kBroadcast:
      return "broadcast";
    case AddressKind::kReserved:
      return "reserved";
    case AddressKind::kInvalid:
      return "invalid";
  }
  return "invalid";
}

}  // namespace host
