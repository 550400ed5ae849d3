#include "lines/tcp_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>

#include "host/errno_text.h"
#include "host/fd_wait.h"
#include "lines/net_address.h"
#include "lines/tcp_line.h"

namespace quorvantix::lines {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kConnectPrefix = "tcp:";
constexpr std::string_view kListenPrefix = "tcp-listen:";
// The service hands out files to whoever is on the line, without a password:
// a listening line must not appear on a network unless the user asks for it.
constexpr char kListenDefaultAddress[] = "127.0.0.1";
constexpr milliseconds kConnectLimit{5000};
// A peer that vanishes (cable out, machine off) never says so; these make the
// kernel ask after 10 s of silence and give up after three unanswered probes.
constexpr int kKeepaliveIdleSeconds = 10;
constexpr int kKeepaliveIntervalSeconds = 5;
constexpr int kKeepaliveProbes = 3;
// The same bound for bytes we sent that the peer never acknowledges.
constexpr unsigned kUnacknowledgedLimitMs = 25'000;
constexpr long kHighestPort = 65535;
// Connections that wait their turn while a peer has the line.
constexpr int kListenBacklog = 16;

bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (const char digit : port) {
    if (digit < '0' || digit > '9') return false;
  }
  long number = 0;
  std::from_chars(port.data(), port.data() + port.size(), number);
  return number >= 1 && number <= kHighestPort;
}

// "HOST:PORT", or "[IPV6]:PORT". An empty `host` comes back when the text is
// a port alone.
bool split_endpoint(std::string_view text, Endpoint& endpoint) {
  std::string_view host;
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const auto closing = text.find(']');
    if (closing == std::string_view::npos || text.substr(closing + 1, 1) != ":") return false;
    host = text.substr(1, closing - 1);
    port = text.substr(closing + 2);
    if (host.empty()) return false;
  } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    // An IPv6 address without brackets cannot be told from its port.
    if (host.empty() || host.find(':') != std::string_view::npos) return false;
  }
  endpoint.host = std::string(host);
  endpoint.port = std::string(port);
  return valid_port(endpoint.port);
}

bool set_option(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

// A socket for `address` that never blocks.
host::UniqueFd open_socket(const addrinfo& address, const std::string& name, std::string& error) {
  host::UniqueFd fd(socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (!fd) error = host::describe_errno("socket", name, errno);
  return fd;
}

}  // namespace

bool parse_name(const std::string& name, bool& listening, Endpoint& endpoint, std::string& error) {
  listening = name.starts_with(kListenPrefix);
  const std::string_view rest =
      std::string_view(name).substr(listening ? kListenPrefix.size() : kConnectPrefix.size());
  const bool parsed = split_endpoint(rest, endpoint);
  if (parsed && listening && endpoint.host.empty()) endpoint.host = kListenDefaultAddress;
  if (parsed && !endpoint.host.empty()) return true;
  error = name + ": give the line as " +
          (listening ? std::string("tcp-listen:PORT or tcp-listen:ADDR:PORT")
                     : std::string("tcp:HOST:PORT")) +
          ", with a port from 1 to 65535 and an IPv6 address in brackets";
  return false;
}

bool resolve(const std::string& name, const Endpoint& endpoint, bool listening, AddressList& addresses,
             std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (listening ? AI_PASSIVE : 0);
  const int status = getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &addresses.first);
  if (status == 0) return true;
  error = "getaddrinfo(" + name + "): " + gai_strerror(status);
  return false;
}

bool tune_peer_socket(int fd, const std::string& name, std::string& error) {
  const bool tuned = set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1) &&
                     set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepaliveIdleSeconds) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepaliveIntervalSeconds) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepaliveProbes) &&
                     set_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUnacknowledgedLimitMs));
  if (!tuned) error = host::describe_errno("setsockopt", name, errno);
  return tuned;
}

host::UniqueFd connect_within_limit(const addrinfo& address, const std::string& name, std::string& error) {
  host::UniqueFd fd = open_socket(address, name, error);
  if (!fd) return {};
  if (connect(fd.get(), address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    error = host::describe_errno("connect", name, errno);
    return {};
  }
  pollfd watched{fd.get(), POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&watched, 1, static_cast<int>(kConnectLimit.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    error = "connect(" + name + "): no answer within 5 s";
    return {};
  }
  int failure = 0;
  socklen_t length = sizeof failure;
  if (ready < 0 || getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
  if (failure != 0) {
    error = host::describe_errno("connect", name, failure);
    return {};
  }
  return fd;
}

host::UniqueFd listen_on(const addrinfo& address, const std::string& name, std::string& error) {
  host::UniqueFd fd = open_socket(address, name, error);
  if (!fd) return {};
  // A service started again at once: a connection of the last peer that
  // lingers in TIME_WAIT must not hold the port.
  if (!set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1)) {
    error = host::describe_errno("setsockopt", name, errno);
    return {};
  }
  if (bind(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
    error = host::describe_errno("bind", name, errno);
    return {};
  }
  if (listen(fd.get(), kListenBacklog) != 0) {
    error = host::describe_errno("listen", name, errno);
    return {};
  }
  return fd;
}

bool is_tcp_line_name(const std::string& name) {
  return name.starts_with(kConnectPrefix) || name.starts_with(kListenPrefix);
}

bool is_listening_line_name(const std::string& name) { return name.starts_with(kListenPrefix); }

bool listens_beyond_loopback(const std::string& name) {
  bool listening = false;
  Endpoint endpoint;
  std::string ignored;
  AddressList addresses;
  if (!is_listening_line_name(name) || !parse_name(name, listening, endpoint, ignored) ||
      !resolve(name, endpoint, listening, addresses, ignored)) {
    return false;
  }
  for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    sockaddr_storage storage{};
    std::memcpy(&storage, address->ai_addr, std::min<std::size_t>(address->ai_addrlen, sizeof storage));
    if (!is_loopback(storage)) return true;
  }
  return false;
}

}  // namespace quorvantix::lines
