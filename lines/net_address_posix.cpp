#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "lines/net_address.h"

namespace quorvantix::lines {
namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// The peer's address as a range of one, an IPv4 peer behind an IPv6 socket as IPv4.
AddressRange single(const sockaddr_storage& address) {
  AddressRange one;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(one.bytes.data(), &v4.sin_addr, 4);
    return one;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  if (std::memcmp(&v6.sin6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memcpy(one.bytes.data(), reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr) + 12, 4);
    return one;
  }
  one.family = AF_INET6;
  one.bits = 128;
  std::memcpy(one.bytes.data(), &v6.sin6_addr, 16);
  return one;
}

bool contains(const AddressRange& range, const AddressRange& address) {
  if (range.family != address.family) return false;
  const int whole = range.bits / 8, rest = range.bits % 8;
  if (std::memcmp(range.bytes.data(), address.bytes.data(), static_cast<std::size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
  return (range.bytes[static_cast<std::size_t>(whole)] & mask) == (address.bytes[static_cast<std::size_t>(whole)] & mask);
}

void clear_beyond_prefix(AddressRange& range) {
  for (int bit = range.bits; bit < 128; ++bit) {
    range.bytes[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
  }
}

}  // namespace

std::optional<AddressRange> parse_address_range(const std::string& text, std::string& error) {
  const auto slash = text.find('/');
  std::string host = text.substr(0, slash);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  AddressRange range;
  if (inet_pton(AF_INET, host.c_str(), range.bytes.data()) == 1) {
    range.bits = 32;
  } else if (inet_pton(AF_INET6, host.c_str(), range.bytes.data()) == 1) {
    range.family = AF_INET6;
    range.bits = 128;
  } else {
    error = "--allow " + text + ": give an IPv4 or IPv6 address, and /BITS for a network";
    return std::nullopt;
  }
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    int prefix = -1;
    const auto [end, failure] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
    if (bits.empty() || failure != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
        prefix > range.bits) {
      error = "--allow " + text + ": the prefix length goes from 0 to " + std::to_string(range.bits);
      return std::nullopt;
    }
    range.bits = prefix;
  }
  clear_beyond_prefix(range);
  return range;
}

bool in_any_range(const std::vector<AddressRange>& ranges, const sockaddr_storage& address) {
  const AddressRange peer = single(address);
  for (const auto& range : ranges) {
    if (contains(range, peer)) return true;
  }
  return false;
}

bool is_loopback(const sockaddr_storage& address) {
  static const std::vector<AddressRange> kLoopback = [] {
    std::string ignored;
    return std::vector<AddressRange>{*parse_address_range("127.0.0.0/8", ignored), *parse_address_range("::1", ignored)};
  }();
  return in_any_range(kLoopback, address);
}

std::string address_text(const sockaddr_storage& address) {
  const AddressRange peer = single(address);
  char text[INET6_ADDRSTRLEN] = "?";
  inet_ntop(peer.family, peer.bytes.data(), text, sizeof text);
  const in_port_t port = address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                                      : reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
  char whole[INET6_ADDRSTRLEN + 8];
  if (peer.family == AF_INET6) {
    std::snprintf(whole, sizeof whole, "[%s]:%u", text, static_cast<unsigned>(ntohs(port)));
  } else {
    std::snprintf(whole, sizeof whole, "%s:%u", text, static_cast<unsigned>(ntohs(port)));
  }
  return whole;
}

}  // namespace quorvantix::lines
