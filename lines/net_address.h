// Addresses of peers on the network: ranges of them that may connect to a
// listening line (--allow ADDR[/BITS]), and their text for messages.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvantix::lines {

// An IPv4 or IPv6 network: the first `bits` bits of `bytes` (4 of them for
// IPv4, 16 for IPv6); the rest are zero.
struct AddressRange {
  int family = AF_INET;
  std::array<std::uint8_t, 16> bytes{};
  int bits = 32;
};

// "ADDR" (the one address) or "ADDR/BITS", IPv4 or IPv6, an IPv6 address in
// brackets or without. Bits beyond the prefix are ignored (192.0.2.7/24 is
// 192.0.2.0/24). Nothing, with `error` filled, for anything else.
std::optional<AddressRange> parse_address_range(const std::string& text, std::string& error);

// True when `address` (a peer's, as accept gives it) lies in one of
// `ranges`. An IPv4 peer that reaches an IPv6 socket (::ffff:a.b.c.d)
// counts as its IPv4 address.
bool in_any_range(const std::vector<AddressRange>& ranges, const sockaddr_storage& address);

// True for 127.0.0.0/8 and ::1 (also as ::ffff:127.x.y.z).
bool is_loopback(const sockaddr_storage& address);

// "192.0.2.7:51234", "[2001:db8::1]:51234"; an IPv4 peer on an IPv6 socket
// as its IPv4 address.
std::string address_text(const sockaddr_storage& address);

}  // namespace quorvantix::lines
