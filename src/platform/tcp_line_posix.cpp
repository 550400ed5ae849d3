#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/errno_text.h"
#include "platform/fd_wait.h"
#include "platform/tcp_line.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

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
// How long a peer that has not shown itself a customer keeps a listening line
// while another connection waits: a customer identifies the moment it has
// connected, and one that waits in the queue must be answered within its
// first time limit (2.1 s).
constexpr milliseconds kUnknownPeerGrace{1000};

struct Endpoint {
  std::string host;
  std::string port;
};

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

struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) freeaddrinfo(first);
  }
};

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

bool set_option(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

// Stop and wait sends one small frame and then waits for one byte: Nagle's
// algorithm would hold every such frame back for the peer's delayed ACK.
bool tune_peer_socket(int fd, const std::string& name, std::string& error) {
  const bool tuned = set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1) &&
                     set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepaliveIdleSeconds) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepaliveIntervalSeconds) &&
                     set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepaliveProbes) &&
                     set_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUnacknowledgedLimitMs));
  if (!tuned) error = describe_errno("setsockopt", name, errno);
  return tuned;
}

// A socket for `address` that never blocks.
UniqueFd open_socket(const addrinfo& address, const std::string& name, std::string& error) {
  UniqueFd fd(socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (!fd) error = describe_errno("socket", name, errno);
  return fd;
}

UniqueFd connect_within_limit(const addrinfo& address, const std::string& name, std::string& error) {
  UniqueFd fd = open_socket(address, name, error);
  if (!fd) return {};
  if (connect(fd.get(), address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    error = describe_errno("connect", name, errno);
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
    error = describe_errno("connect", name, failure);
    return {};
  }
  return fd;
}

UniqueFd listen_on(const addrinfo& address, const std::string& name, std::string& error) {
  UniqueFd fd = open_socket(address, name, error);
  if (!fd) return {};
  // A service started again at once: a connection of the last peer that
  // lingers in TIME_WAIT must not hold the port.
  if (!set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1)) {
    error = describe_errno("setsockopt", name, errno);
    return {};
  }
  if (bind(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
    error = describe_errno("bind", name, errno);
    return {};
  }
  if (listen(fd.get(), kListenBacklog) != 0) {
    error = describe_errno("listen", name, errno);
    return {};
  }
  return fd;
}

// The peer's events among `came`: it has closed its side, reset the
// connection, or failed.
bool peer_gone(short came) { return (came & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0; }

// A TCP connection as a line. A listening line listens for as long as it
// lives: the peers take the line one after the other, the next waiting in the
// socket's queue until the one before has gone.
class TcpLine final : public Line {
 public:
  static std::unique_ptr<TcpLine> connected(UniqueFd peer, std::string name) {
    auto line = std::unique_ptr<TcpLine>(new TcpLine(std::move(name)));
    line->peer_ = std::move(peer);
    return line;
  }

  static std::unique_ptr<TcpLine> listening(UniqueFd listener, std::string name) {
    auto line = std::unique_ptr<TcpLine>(new TcpLine(std::move(name)));
    line->listener_ = std::move(listener);
    return line;
  }

  // The last bytes written (the final ACK) still leave after the close; the
  // half-close tells the peer that nothing more is coming.
  ~TcpLine() override {
    if (peer_ && !failed_) shutdown(peer_.get(), SHUT_WR);
  }

  // Bytes that a peer sent before it closed its side belong to nobody: the
  // line is lost as soon as the close is seen, unread bytes and all, so that
  // no answer goes out to a peer that is gone.
  long read_some(std::uint8_t* into, std::size_t count) override {
    if (failed_) return -1;
    if (!peer_present()) return 0;
    if (peer_gone(wait_for_fd(peer_.get(), POLLRDHUP, nanoseconds::zero()))) return fail();
    return note(recv(peer_.get(), into, count, 0));
  }

  long write_some(const std::uint8_t* from, std::size_t count) override {
    if (failed_) return -1;
    if (!peer_present()) return 0;
    // MSG_NOSIGNAL: a peer that has gone must fail the write, not kill the process.
    return note(send(peer_.get(), from, count, MSG_NOSIGNAL));
  }

  void wait_ready(Direction direction, nanoseconds limit) override {
    const nanoseconds deadline = system_now() + limit;
    for (nanoseconds left = limit; left > nanoseconds::zero(); left = deadline - system_now()) {
      if (failed_) {
        sleep_on_system_clock(left);
        return;
      }
      if (!peer_) {
        if (wait_for_fd(listener_.get(), POLLIN, left) != 0) accept_peer();
        continue;
      }
      const short wanted = direction == Direction::in ? POLLIN : POLLOUT;
      const short came = wait_for_peer(static_cast<short>(wanted | POLLRDHUP), left);
      if (peer_gone(came)) failed_ = true;
      if (came != 0) return;
    }
  }

  // A speed means nothing to a TCP connection: taken, without effect.
  bool set_speed(long, std::string&) override { return true; }
  bool speed_reaches_port() const override { return false; }

  bool lost() const override { return failed_; }

  bool take_next_peer() override {
    if (!listener_) return false;
    peer_.reset();
    failed_ = false;
    return true;
  }

  void keep_peer() override { known_ = true; }

 private:
  explicit TcpLine(std::string name) : name_(std::move(name)) {}

  bool peer_present() {
    if (!peer_ && listener_) accept_peer();
    return static_cast<bool>(peer_);
  }

  // Takes the next peer from the queue, if one waits.
  void accept_peer() {
    UniqueFd peer(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!peer) return;  // nobody yet, or a peer that left before it was taken
    std::string ignored;
    if (!tune_peer_socket(peer.get(), name_, ignored)) return;
    peer_ = std::move(peer);
    known_ = false;
    peer_since_ = system_now();
  }

  // Waits for `events` on the peer. A peer that has not identified gives its
  // place, after its grace, to a connection that waits in the queue: it is
  // dropped as gone (POLLHUP).
  short wait_for_peer(short events, nanoseconds limit) {
    if (known_ || !listener_) return wait_for_fd(peer_.get(), events, limit);
    const nanoseconds grace_left = peer_since_ + kUnknownPeerGrace - system_now();
    if (grace_left > nanoseconds::zero()) {
      return wait_for_fd(peer_.get(), events, std::min(limit, grace_left));
    }
    pollfd watched[2] = {{peer_.get(), events, 0}, {listener_.get(), POLLIN, 0}};
    if (wait_for_fds(watched, 2, limit) <= 0) return 0;
    return watched[1].revents != 0 ? static_cast<short>(POLLHUP) : watched[0].revents;
  }

  long fail() {
    failed_ = true;
    return -1;
  }

  // The peer closing, a reset, and keepalive giving up all end the peer for
  // good: a connecting line must be opened again, a listening one takes the
  // next peer.
  long note(ssize_t result) {
    if (result > 0) return result;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return fail();
  }

  std::string name_;
  UniqueFd listener_;
  UniqueFd peer_;
  bool failed_ = false;
  bool known_ = false;  // the peer has identified: it keeps the line
  nanoseconds peer_since_{};
};

std::unique_ptr<Line> open_endpoint(const std::string& name, bool listening, const addrinfo& address,
                                    std::string& error) {
  if (listening) {
    UniqueFd listener = listen_on(address, name, error);
    if (!listener) return nullptr;
    return TcpLine::listening(std::move(listener), name);
  }
  UniqueFd peer = connect_within_limit(address, name, error);
  if (!peer || !tune_peer_socket(peer.get(), name, error)) return nullptr;
  return TcpLine::connected(std::move(peer), name);
}

}  // namespace

bool is_tcp_line_name(const std::string& name) {
  return name.starts_with(kConnectPrefix) || name.starts_with(kListenPrefix);
}

std::unique_ptr<Line> open_tcp_line(const std::string& name, std::string& error) {
  bool listening = false;
  Endpoint endpoint;
  if (!parse_name(name, listening, endpoint, error)) return nullptr;
  AddressList addresses;
  if (!resolve(name, endpoint, listening, addresses, error)) return nullptr;
  for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    if (auto line = open_endpoint(name, listening, *address, error)) return line;
  }
  return nullptr;
}

}  // namespace platform
