#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "host/errno_text.h"
#include "host/fd_wait.h"
#include "host/unique_fd.h"
#include "lines/net_address.h"
#include "lines/tcp_line.h"
#include "lines/tcp_socket.h"

namespace quorvantix::lines {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Peers that wait for the line, greeted or not, beside the one that has it:
// past this, the one that has waited longest goes to make room. A customer
// greets the moment it connects, so only a flood of connections faster than
// one read of ours could push it out.
constexpr std::size_t kMostWaitingPeers = 32;
// Connections taken from the queue in one look, so that a flood of them
// cannot keep the line from its peer.
constexpr int kAcceptsPerLook = 64;
// What is read from one waiting peer in one look.
constexpr std::size_t kWaitingReadBytes = 4096;
// A pause in taking connections when the host has no descriptor to spare,
// instead of a listener that stays "ready" for ever.
constexpr milliseconds kAcceptPause{100};

// The peer's events among `came`: it has closed its side, reset the
// connection, or failed.
bool peer_gone(short came) { return (came & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0; }

std::string seconds_text(nanoseconds length) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(length).count());
  return text;
}

// A peer of a listening line that waits for the line.
struct WaitingPeer {
  host::UniqueFd fd;
  std::string address;  // for reports
  nanoseconds since{};  // connected, or gave the line back
  std::vector<std::uint8_t> heard;  // the tail that may begin a greeting; once greeted, the greeting and what followed
  std::uint64_t greeted = 0;  // when it greeted, in the order of greetings (0: not yet)
};

// A TCP connection as a line. A listening line listens for as long as it
// lives and keeps the peers that connect: one has the line (holder_), the
// others wait (waiting_), by the rules of listen_rules.h.
class TcpLine final : public Line {
 public:
  static std::unique_ptr<TcpLine> connected(host::UniqueFd peer, std::string name) {
    auto line = std::unique_ptr<TcpLine>(new TcpLine(std::move(name), {}));
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(peer.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      line->holder_address_ = address_text(address);
    }
    line->holder_ = std::move(peer);
    return line;
  }

  static std::unique_ptr<TcpLine> listening(host::UniqueFd listener, std::string name, ListenRules rules) {
    auto line = std::unique_ptr<TcpLine>(new TcpLine(std::move(name), std::move(rules)));
    line->listener_ = std::move(listener);
    return line;
  }

  // The last bytes written (the final ACK) still leave after the close; the
  // half-close tells the peer that nothing more is coming.
  ~TcpLine() override {
    if (holder_ && !failed_) shutdown(holder_.get(), SHUT_WR);
  }

  // Bytes that a peer sent before it closed its side belong to nobody: the
  // line is lost as soon as the close is seen, unread bytes and all, so that
  // no answer goes out to a peer that is gone.
  long read_some(std::uint8_t* into, std::size_t count) override {
    if (failed_) return -1;
    tend();
    if (failed_) return -1;
    if (!holder_) return 0;
    if (peer_gone(host::wait_for_fd(holder_.get(), POLLRDHUP, nanoseconds::zero()))) return fail();
    if (ahead_at_ < ahead_.size()) return take_ahead(into, count);
    const long got = note(recv(holder_.get(), into, count, 0));
    if (got > 0) last_heard_ = host::system_now();
    return got;
  }

  long write_some(const std::uint8_t* from, std::size_t count) override {
    if (failed_) return -1;
    tend();
    if (failed_) return -1;
    if (!holder_) return 0;
    // MSG_NOSIGNAL: a peer that has gone must fail the write, not kill the process.
    return note(send(holder_.get(), from, count, MSG_NOSIGNAL));
  }

  void wait_ready(Direction direction, nanoseconds limit) override {
    const nanoseconds deadline = host::system_now() + limit;
    for (nanoseconds left = limit; left > nanoseconds::zero(); left = deadline - host::system_now()) {
      if (failed_) {
        host::sleep_on_system_clock(left);
        return;
      }
      tend();
      if (failed_) return;  // closed just now: the link learns it at once
      if (holder_ && direction == Direction::in && ahead_at_ < ahead_.size()) return;
      if (watch(direction == Direction::in ? POLLIN : POLLOUT, std::min(left, until_next_expiry()))) return;
    }
  }

  // A speed means nothing to a TCP connection: taken, without effect.
  bool set_speed(long, std::string&) override { return true; }
  bool speed_reaches_port() const override { return false; }

  bool lost() const override { return failed_; }

  std::string peer_address() const override { return holder_ ? holder_address_ : std::string(); }

  bool take_next_peer() override {
    if (!listener_) return false;
    drop_holder();
    failed_ = false;
    return true;
  }

  // The customer has signed off: it waits with the others, and may greet again.
  void between_customers() override {
    if (!listener_ || !holder_ || failed_) return;
    WaitingPeer peer{std::move(holder_), holder_address_, host::system_now(), {}, 0};
    peer.heard.assign(ahead_.begin() + static_cast<std::ptrdiff_t>(ahead_at_), ahead_.end());
    drop_holder();
    look_for_greeting(peer);
    waiting_.push_back(std::move(peer));
  }

 private:
  TcpLine(std::string name, ListenRules rules) : name_(std::move(name)), rules_(std::move(rules)) {}

  // Keeps the listening line's peers: takes new ones, hears the waiting ones,
  // closes those past their limit, and hands a free line to the first that
  // greeted.
  void tend() {
    if (!listener_) return;
    accept_waiting();
    hear_waiting();
    close_expired();
    // A line lost goes to nobody until it is taken up (take_next_peer): its
    // user must learn that its peer went, and not lose the next one with it.
    if (!holder_ && !failed_) give_line_to_first_greeted();
  }

  void report(const std::string& event) const {
    if (rules_.report) rules_.report(event);
  }

  void accept_waiting() {
    if (host::system_now() < accept_paused_until_) return;
    for (int taken = 0; taken < kAcceptsPerLook; ++taken) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      host::UniqueFd peer(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length,
                            SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!peer) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          accept_paused_until_ = host::system_now() + kAcceptPause;
        }
        return;  // nobody more, or a peer that left before it was taken
      }
      const std::string text = address_text(address);
      if (!rules_.allowed.empty() && !in_any_range(rules_.allowed, address)) {
        report("refused " + text + " on " + name_ + ": not among the addresses of --allow");
        continue;
      }
      std::string ignored;
      if (!tune_peer_socket(peer.get(), name_, ignored)) continue;
      make_room_for_one_more();
      WaitingPeer waiting{std::move(peer), text, host::system_now(), {}, 0};
      look_for_greeting(waiting);
      waiting_.push_back(std::move(waiting));
    }
  }

  void make_room_for_one_more() {
    if (waiting_.size() < kMostWaitingPeers) return;
    report("closed " + waiting_.front().address + " on " + name_ + ": " + std::to_string(kMostWaitingPeers) +
           " peers wait, it waited longest");
    waiting_.erase(waiting_.begin());
  }

  // Reads what the waiting peers sent, looking for a greeting; one that has
  // greeted is not read further (its next bytes are the line's), only
  // watched for leaving. A peer that has gone is dropped with what it sent.
  void hear_waiting() {
    std::erase_if(waiting_, [this](WaitingPeer& peer) {
      if (peer.greeted == 0 && !hear(peer)) return true;
      return peer.greeted != 0 && peer_gone(host::wait_for_fd(peer.fd.get(), POLLRDHUP, nanoseconds::zero()));
    });
  }

  // Reads what `peer` has sent, one chunk a look: a peer that sends without
  // end must not hold the line, nor the others. False when it has gone.
  bool hear(WaitingPeer& peer) {
    std::uint8_t chunk[kWaitingReadBytes];
    const ssize_t got = recv(peer.fd.get(), chunk, sizeof chunk, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    if (got < 0) return true;
    peer.heard.insert(peer.heard.end(), chunk, chunk + got);
    look_for_greeting(peer);
    return true;
  }

  // Keeps from `peer.heard` the greeting and what followed it, or, while no
  // greeting is there, the last bytes that may still begin one.
  void look_for_greeting(WaitingPeer& peer) {
    if (peer.greeted != 0) return;
    const Greeting& greeting = rules_.greeting;
    if (!greeting.matches) {
      peer.greeted = ++greetings_;
      return;
    }
    std::vector<std::uint8_t>& heard = peer.heard;
    for (std::size_t at = 0; at + greeting.bytes <= heard.size(); ++at) {
      if (greeting.matches(heard.data() + at)) {
        heard.erase(heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(at));
        peer.greeted = ++greetings_;
        return;
      }
    }
    const std::size_t kept = std::min(heard.size(), greeting.bytes > 0 ? greeting.bytes - 1 : 0);
    heard.erase(heard.begin(), heard.end() - static_cast<std::ptrdiff_t>(kept));
  }

  void close_expired() {
    if (rules_.idle_limit <= nanoseconds::zero()) return;
    const nanoseconds now = host::system_now();
    std::erase_if(waiting_, [&](const WaitingPeer& peer) {
      if (peer.greeted != 0 || now - peer.since < rules_.idle_limit) return false;
      report("closed " + peer.address + " on " + name_ + ": no customer's identification within " +
             seconds_text(rules_.idle_limit));
      return true;
    });
    if (holder_ && now - last_heard_ >= rules_.idle_limit) {
      report("closed " + holder_address_ + " on " + name_ + ": the customer sent nothing for " +
             seconds_text(rules_.idle_limit));
      drop_holder();
      failed_ = true;
    }
  }

  // How long until a peer reaches its limit; the whole wait when none has one.
  nanoseconds until_next_expiry() const {
    if (!listener_ || rules_.idle_limit <= nanoseconds::zero()) return nanoseconds::max();
    nanoseconds next = holder_ ? last_heard_ + rules_.idle_limit : nanoseconds::max();
    for (const auto& peer : waiting_) {
      if (peer.greeted == 0) next = std::min(next, peer.since + rules_.idle_limit);
    }
    return std::max(next - host::system_now(), nanoseconds::zero());
  }

  void give_line_to_first_greeted() {
    auto first = waiting_.end();
    for (auto peer = waiting_.begin(); peer != waiting_.end(); ++peer) {
      if (peer->greeted != 0 && (first == waiting_.end() || peer->greeted < first->greeted)) first = peer;
    }
    if (first == waiting_.end()) return;
    holder_ = std::move(first->fd);
    holder_address_ = std::move(first->address);
    ahead_ = std::move(first->heard);
    ahead_at_ = 0;
    last_heard_ = host::system_now();
    waiting_.erase(first);
  }

  // Waits at most `limit` for `wanted` on the peer that has the line, and for
  // anything on the listener and the waiting peers. True when the peer with
  // the line had an event (it may have gone).
  bool watch(short wanted, nanoseconds limit) {
    std::vector<pollfd> watched;
    if (holder_) watched.push_back({holder_.get(), static_cast<short>(wanted | POLLRDHUP), 0});
    if (listener_ && host::system_now() >= accept_paused_until_) watched.push_back({listener_.get(), POLLIN, 0});
    for (const auto& peer : waiting_) {
      watched.push_back({peer.fd.get(), static_cast<short>(peer.greeted != 0 ? POLLRDHUP : POLLIN | POLLRDHUP), 0});
    }
    if (listener_ && host::system_now() < accept_paused_until_)
      limit = std::min(limit, accept_paused_until_ - host::system_now());
    if (watched.empty()) {
      host::sleep_on_system_clock(limit);
      return false;
    }
    if (host::wait_for_fds(watched.data(), watched.size(), limit) <= 0 || !holder_) return false;
    const short came = watched.front().revents;
    if (peer_gone(came)) failed_ = true;
    return came != 0;
  }

  long take_ahead(std::uint8_t* into, std::size_t count) {
    const std::size_t taken = std::min(count, ahead_.size() - ahead_at_);
    std::memcpy(into, ahead_.data() + ahead_at_, taken);
    ahead_at_ += taken;
    last_heard_ = host::system_now();
    return static_cast<long>(taken);
  }

  void drop_holder() {
    holder_.reset();
    holder_address_.clear();
    ahead_.clear();
    ahead_at_ = 0;
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
  ListenRules rules_;
  host::UniqueFd listener_;
  host::UniqueFd holder_;  // the peer that has the line
  std::string holder_address_;
  std::vector<std::uint8_t> ahead_;  // its greeting and what followed, read before the socket
  std::size_t ahead_at_ = 0;
  nanoseconds last_heard_{};
  std::vector<WaitingPeer> waiting_;
  std::uint64_t greetings_ = 0;
  nanoseconds accept_paused_until_{};
  bool failed_ = false;
};

std::unique_ptr<Line> open_endpoint(const std::string& name, bool listening, const addrinfo& address,
                                    const ListenRules& rules, std::string& error) {
  if (listening) {
    host::UniqueFd listener = listen_on(address, name, error);
    if (!listener) return nullptr;
    return TcpLine::listening(std::move(listener), name, rules);
  }
  host::UniqueFd peer = connect_within_limit(address, name, error);
  if (!peer || !tune_peer_socket(peer.get(), name, error)) return nullptr;
  return TcpLine::connected(std::move(peer), name);
}

}  // namespace

std::unique_ptr<Line> open_tcp_line(const std::string& name, const ListenRules& rules, std::string& error) {
  bool listening = false;
  Endpoint endpoint;
  if (!parse_name(name, listening, endpoint, error)) return nullptr;
  AddressList addresses;
  if (!resolve(name, endpoint, listening, addresses, error)) return nullptr;
  for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    if (auto line = open_endpoint(name, listening, *address, rules, error)) return line;
  }
  return nullptr;
}

}  // namespace quorvantix::lines
