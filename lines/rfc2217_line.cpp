#include "lines/rfc2217_line.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lines/tcp_line.h"
#include "lines/telnet_com_port.h"

namespace quorvantix::lines {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view kPrefix = "rfc2217:";
constexpr std::string_view kTcpPrefix = "tcp:";
constexpr milliseconds kNegotiationLimit{5000};
constexpr milliseconds kAnswerLimit{2000};
// While our own bytes wait for room in the socket, a wait for input looks
// again this often whether they can go.
constexpr milliseconds kOutputRetry{10};
// Data kept while the line waits for the negotiation or an answer.
constexpr std::size_t kInputHeldBytes = std::size_t{1} << 20;
// What one look takes from the socket: a server that sends without end,
// commands only, must not keep the line from its caller.
constexpr std::size_t kBytesTakenPerLook = std::size_t{64} << 10;
// Our commands that the server leaves unread, beside the data of one write:
// a negotiation takes a few dozen bytes; a server that keeps asking for
// answers and reads none would have them pile up without end.
constexpr std::size_t kMostQueuedBytes = std::size_t{64} << 10;
constexpr long kHighestRate = 0xFFFFFFFFL;  // SET-BAUDRATE carries four bytes

// Bytes in order, taken from the front.
class ByteQueue {
 public:
  bool empty() const { return size() == 0; }
  std::size_t size() const { return bytes_.size() - head_; }
  const std::uint8_t* data() const { return bytes_.data() + head_; }
  // Where more bytes go, at the back.
  Bytes& back() { return bytes_; }
  void drop(std::size_t count) {
    head_ += count;
    // Bytes taken are given back once they are half the queue, so that a
    // queue that never runs empty stays small and dropping stays cheap.
    if (head_ * 2 >= bytes_.size()) {
      bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }

 private:
  Bytes bytes_;
  std::size_t head_ = 0;
};

std::string settings_text(const PortSettings& wanted, const PortSettings& answered) {
  std::string text;
  const auto add = [&text](long want, long got, const std::string& what) {
    if (want == got) return;
    text += (text.empty() ? "" : ", ") + (got < 0 ? what + " unreadable" : what + " " + std::to_string(got));
  };
  add(wanted.baud, answered.baud, "baud");
  add(wanted.data_bits, answered.data_bits, "data bits");
  add(wanted.parity, answered.parity, "parity code");
  add(wanted.stop_size, answered.stop_size, "stop-size code");
  add(wanted.control, answered.control, "flow-control code");
  return text;
}

class Rfc2217Line final : public Line {
 public:
  Rfc2217Line(std::unique_ptr<Line> transport, host::Clock& clock, std::string name)
      : transport_(std::move(transport)), clock_(clock), name_(std::move(name)) {}

  ~Rfc2217Line() override { flush(); }

  std::string lost_reason() const override { return lost_reason_; }

  // The opening negotiation; false, with `error` filled, when the server is
  // not a terminal server that sets its port and passes bytes unchanged.
  bool negotiate(std::string& error) {
    telnet_.offer(out_.back());
    if (!take_input_until([this] { return !telnet_.negotiating(); }, clock_.now() + kNegotiationLimit)) {
      if (!lost_reason_.empty()) return fail_with(lost_reason_, error);
      return fail_with(lost() ? name_ + ": the server closed the connection during the Telnet negotiation"
                              : name_ + ": no answer to the Telnet negotiation within 5 s (a port that speaks no "
                                        "Telnet is a tcp: line)",
                       error);
    }
    if (!telnet_.binary_both_ways()) {
      return fail_with(name_ + ": the server refuses binary transmission, so bytes would not cross unchanged", error);
    }
    if (!telnet_.com_port()) {
      return fail_with(name_ + ": the server offers no port settings (it refuses the COM-PORT-OPTION of RFC 2217); as "
                               "tcp:" + name_.substr(kPrefix.size()) + " the line runs at the speed the server gives it",
                       error);
    }
    negotiated_ = true;
    return true;
  }

  long read_some(std::uint8_t* into, std::size_t count) override {
    if (lost() || (in_.empty() && !take_available())) return -1;
    const std::size_t moved = std::min(count, in_.size());
    std::copy_n(in_.data(), moved, into);
    in_.drop(moved);
    return static_cast<long>(moved);
  }

  // Takes all of `from` as soon as what was written before has gone to the
  // socket; what the socket cannot take at once stays queued here.
  long write_some(const std::uint8_t* from, std::size_t count) override {
    if (lost() || !flush()) return -1;
    if (!out_.empty()) return 0;
    TelnetComPort::escape(from, count, out_.back());
    data_queued_ = out_.size();
    return flush() ? static_cast<long>(count) : -1;
  }

  std::size_t output_queued() const override { return out_.size(); }

  void wait_ready(Direction direction, nanoseconds limit) override {
    const nanoseconds deadline = clock_.now() + limit;
    if (direction == Direction::in) {
      take_input_until([this] { return !in_.empty(); }, deadline);
    } else {
      send_queued_until(deadline);
    }
    // A line that has failed waits out the limit, so that nobody spins on it
    // (a server we gave up on may still be sending).
    if (lost()) clock_.sleep_for(deadline - clock_.now());
  }

  bool set_speed(long baud, std::string& error) override {
    if (lost()) return fail_with(name_ + ": the connection to the server has gone", error);
    if (!telnet_.com_port()) return fail_with(name_ + ": the server no longer takes port settings", error);
    if (baud > kHighestRate) return fail_with(name_ + ": " + std::to_string(baud) + " baud is beyond any port", error);
    const PortSettings wanted{baud};
    telnet_.request(wanted, out_.back());
    const bool answered =
        take_input_until([this] { return !telnet_.awaiting_answers(); }, clock_.now() + kAnswerLimit);
    if (answered && telnet_.answered() == wanted) {
      baud_ = baud;
      return true;
    }
    if (!answered || telnet_.answered().baud != baud_) set_back();
    if (!answered) return fail_with(name_ + ": the server did not answer the port settings within 2 s", error);
    return fail_with(name_ + ": the server did not take " + std::to_string(baud) +
                         " baud, 8 data bits, no parity, 1 stop bit, no flow control (it answered " +
                         settings_text(wanted, telnet_.answered()) + ")",
                     error);
  }

  bool lost() const override { return failed_ || transport_->lost(); }

 private:
  static bool fail_with(const std::string& message, std::string& error) {
    error = message;
    return false;
  }

  // Asks for the speed the port had, without waiting: the answers are
  // counted, and the next change waits for them as well.
  void set_back() {
    if (baud_ == 0) return;
    telnet_.request(PortSettings{baud_}, out_.back());
    flush();
  }

  // Takes what the server has sent so far, up to kBytesTakenPerLook: data
  // into in_ (up to kInputHeldBytes), commands handled, our replies sent.
  // False when the connection has failed, or the server has broken it.
  bool take_available() {
    std::uint8_t raw[4096];
    for (std::size_t taken = 0; taken < kBytesTakenPerLook && in_.size() < kInputHeldBytes && !failed_;) {
      const long got = transport_->read_some(raw, sizeof raw);
      if (got < 0) failed_ = true;
      if (got <= 0) break;
      taken += static_cast<std::size_t>(got);
      telnet_.take(raw, static_cast<std::size_t>(got), in_.back(), out_.back());
      check_server_keeps_the_rules();
    }
    return flush();
  }

  // A server whose stream cannot be read any more, that ends binary
  // transmission, or that leaves our answers unread while it asks for more,
  // is a line lost, with the reason.
  void check_server_keeps_the_rules() {
    if (!telnet_.fault().empty()) return give_up(telnet_.fault());
    if (negotiated_ && !telnet_.binary_both_ways()) {
      return give_up("the server ended binary transmission, so bytes would no longer cross unchanged");
    }
    if (out_.size() > data_queued_ + kMostQueuedBytes) {
      give_up("the server left more than " + std::to_string(kMostQueuedBytes >> 10) +
              " KiB of our bytes unread while it went on asking for answers");
    }
  }

  void give_up(const std::string& reason) {
    failed_ = true;
    lost_reason_ = name_ + ": " + reason;
  }

  // Sends what is queued, as far as the socket takes it now; nothing while
  // the server has asked us to hold. False when the connection has failed.
  bool flush() {
    while (!failed_ && !out_.empty() && !telnet_.suspended()) {
      const long sent = transport_->write_some(out_.data(), out_.size());
      if (sent < 0) failed_ = true;
      if (sent <= 0) break;
      out_.drop(static_cast<std::size_t>(sent));
    }
    return !failed_;
  }

  // Takes input until `done` holds; false when the line was lost or
  // `deadline` came first.
  template <typename Done>
  bool take_input_until(Done done, nanoseconds deadline) {
    flush();
    while (!done()) {
      const nanoseconds left = deadline - clock_.now();
      if (lost() || left <= nanoseconds::zero()) return false;
      wait_for_input(left);
    }
    return true;
  }

  void send_queued_until(nanoseconds deadline) {
    while (flush() && !out_.empty()) {
      const nanoseconds left = deadline - clock_.now();
      if (left <= nanoseconds::zero()) return;
      // A server that holds us lets us go on with a command: wait for it.
      if (telnet_.suspended()) {
        wait_for_input(left);
      } else {
        transport_->wait_ready(Direction::out, left);
      }
    }
  }

  // Waits at most `left` for the server's bytes, and takes them. Input held
  // to the brim can take nothing more until it is read: the wait is slept
  // out rather than spun.
  void wait_for_input(nanoseconds left) {
    if (in_.size() >= kInputHeldBytes) {
      clock_.sleep_for(left);
      return;
    }
    const bool output_waits = !out_.empty() && !telnet_.suspended();
    transport_->wait_ready(Direction::in, output_waits ? std::min<nanoseconds>(left, kOutputRetry) : left);
    take_available();
  }

  std::unique_ptr<Line> transport_;
  host::Clock& clock_;
  std::string name_;
  TelnetComPort telnet_;
  ByteQueue in_;   // data from the server, not yet read
  ByteQueue out_;  // escaped data and commands, not yet taken by the socket
  long baud_ = 0;  // the speed the server last confirmed; 0 before the first
  std::size_t data_queued_ = 0;  // the escaped data of the last write, which may still wait in out_
  bool negotiated_ = false;
  bool failed_ = false;
  std::string lost_reason_;
};

// The system clock holds no state: one serves every line.
host::SteadyClock& system_clock() {
  static host::SteadyClock clock;
  return clock;
}

// The connection's messages name the line as the user gave it.
std::string as_named(std::string message) {
  for (auto at = message.find(kTcpPrefix); at != std::string::npos; at = message.find(kTcpPrefix, at)) {
    message.replace(at, kTcpPrefix.size(), kPrefix);
    at += kPrefix.size();
  }
  return message;
}

}  // namespace

bool is_rfc2217_line_name(const std::string& name) { return name.starts_with(kPrefix); }

std::unique_ptr<Line> open_rfc2217_line(const std::string& name, std::string& error) {
  auto transport = open_tcp_line(std::string(kTcpPrefix) + name.substr(kPrefix.size()), ListenRules{}, error);
  if (!transport) {
    error = as_named(error);
    return nullptr;
  }
  return rfc2217_line_over(std::move(transport), system_clock(), name, error);
}

std::unique_ptr<Line> rfc2217_line_over(std::unique_ptr<Line> transport, host::Clock& clock, const std::string& name,
                                        std::string& error) {
  auto line = std::make_unique<Rfc2217Line>(std::move(transport), clock, name);
  if (!line->negotiate(error)) return nullptr;
  return line;
}

}  // namespace quorvantix::lines
