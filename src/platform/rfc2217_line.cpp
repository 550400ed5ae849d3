#include "platform/rfc2217_line.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/tcp_line.h"

namespace platform {
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
// What we keep of one subnegotiation; the rest of a longer one (a server's
// signature text) is skipped.
constexpr std::size_t kSubnegotiationBytes = 64;
constexpr long kHighestRate = 0xFFFFFFFFL;  // SET-BAUDRATE carries four bytes

// Telnet commands.
constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
// Telnet options.
constexpr std::uint8_t kBinaryOption = 0, kSuppressGoAheadOption = 3, kComPortOption = 44;
// COM-PORT-OPTION commands from the client; the server answers each with its
// code + kServerCodeOffset and the value it has set.
constexpr std::uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5;
constexpr std::uint8_t FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9;
constexpr std::uint8_t kServerCodeOffset = 100;
constexpr std::uint8_t kParityNone = 1, kOneStopBit = 1, kNoFlowControl = 1;

// The port settings that set_speed asks for, and what the server answers.
struct PortSettings {
  long baud = 0;
  long data_bits = 8;
  long parity = kParityNone;
  long stop_size = kOneStopBit;
  long control = kNoFlowControl;
  bool operator==(const PortSettings&) const = default;
};

// The Telnet side of the line, without I/O: the server's bytes go in, data
// and what we must send come out.
class TelnetComPort {
 public:
  // Offers COM-PORT-OPTION and asks for binary transmission both ways.
  void offer(Bytes& to_send) {
    ask(options_[kComPortOption].us, WILL, kComPortOption, to_send);
    ask(options_[kBinaryOption].us, WILL, kBinaryOption, to_send);
    ask(options_[kBinaryOption].him, DO, kBinaryOption, to_send);
  }

  bool negotiating() const {
    return options_[kComPortOption].us == Q::asked || options_[kBinaryOption].us == Q::asked ||
           options_[kBinaryOption].him == Q::asked;
  }
  bool binary_both_ways() const {
    return options_[kBinaryOption].us == Q::yes && options_[kBinaryOption].him == Q::yes;
  }
  bool com_port() const { return options_[kComPortOption].us == Q::yes; }
  bool suspended() const { return suspended_; }

  // Takes bytes as they came from the server, in pieces of any size: data
  // into `data`, our replies to its negotiation into `to_send`.
  void take(const std::uint8_t* bytes, std::size_t count, Bytes& data, Bytes& to_send) {
    for (std::size_t i = 0; i < count; ++i) step(bytes[i], data, to_send);
  }

  // Data as it goes to the server: IAC doubled.
  static void escape(const std::uint8_t* bytes, std::size_t count, Bytes& to_send) {
    for (std::size_t i = 0; i < count; ++i) {
      if (bytes[i] == IAC) to_send.push_back(IAC);
      to_send.push_back(bytes[i]);
    }
  }

  // Asks for `settings`; the server owes an answer to each of the five.
  void request(const PortSettings& settings, Bytes& to_send) {
    const auto rate = static_cast<std::uint32_t>(settings.baud);
    subnegotiate(SET_BAUDRATE, {std::uint8_t(rate >> 24), std::uint8_t(rate >> 16), std::uint8_t(rate >> 8),
                                std::uint8_t(rate)}, to_send);
    subnegotiate(SET_DATASIZE, {std::uint8_t(settings.data_bits)}, to_send);
    subnegotiate(SET_PARITY, {std::uint8_t(settings.parity)}, to_send);
    subnegotiate(SET_STOPSIZE, {std::uint8_t(settings.stop_size)}, to_send);
    subnegotiate(SET_CONTROL, {std::uint8_t(settings.control)}, to_send);
  }

  // True while an answer to a request is missing. Answers are counted: after
  // a request that went unanswered, the next waits for the late answers too,
  // and its values are the last ones.
  bool awaiting_answers() const {
    return std::any_of(answers_.begin(), answers_.end(), [](const Answer& answer) { return answer.owed > 0; });
  }
  PortSettings answered() const {
    return {answers_[SET_BAUDRATE].value, answers_[SET_DATASIZE].value, answers_[SET_PARITY].value,
            answers_[SET_STOPSIZE].value, answers_[SET_CONTROL].value};
  }

 private:
  // Where one side of an option stands (the Q method of RFC 1143, without
  // its queue: we never withdraw an option).
  enum class Q : std::uint8_t { no, yes, asked };
  struct Option {
    Q us = Q::no;   // we perform it: our WILL, the server's DO
    Q him = Q::no;  // the server performs it: its WILL, our DO
  };
  enum class State : std::uint8_t { data, command, option, subnegotiation, subnegotiation_command };
  struct Answer {
    int owed = 0;
    long value = -1;
  };

  static bool we_may(std::uint8_t option) {
    return option == kBinaryOption || option == kSuppressGoAheadOption || option == kComPortOption;
  }
  static bool server_may(std::uint8_t option) {
    return option == kBinaryOption || option == kSuppressGoAheadOption;
  }

  static void command(Bytes& to_send, std::uint8_t verb, std::uint8_t option) {
    to_send.insert(to_send.end(), {IAC, verb, option});
  }

  static void ask(Q& side, std::uint8_t verb, std::uint8_t option, Bytes& to_send) {
    side = Q::asked;
    command(to_send, verb, option);
  }

  void subnegotiate(std::uint8_t code, const Bytes& value, Bytes& to_send) {
    to_send.insert(to_send.end(), {IAC, SB, kComPortOption, code});
    escape(value.data(), value.size(), to_send);
    to_send.insert(to_send.end(), {IAC, SE});
    ++answers_[code].owed;
  }

  void step(std::uint8_t byte, Bytes& data, Bytes& to_send) {
    switch (state_) {
      case State::data:
        if (byte == IAC) {
          state_ = State::command;
        } else {
          data.push_back(byte);
        }
        return;
      case State::command:
        after_iac(byte, data);
        return;
      case State::option:
        negotiate(verb_, byte, to_send);
        state_ = State::data;
        return;
      case State::subnegotiation:
        if (byte == IAC) {
          state_ = State::subnegotiation_command;
        } else if (subnegotiation_.size() < kSubnegotiationBytes) {
          subnegotiation_.push_back(byte);
        }
        return;
      case State::subnegotiation_command:
        if (byte == IAC) {
          state_ = State::subnegotiation;
          if (subnegotiation_.size() < kSubnegotiationBytes) subnegotiation_.push_back(IAC);
        } else if (byte == SE) {
          state_ = State::data;
          on_subnegotiation();
        } else {
          after_iac(byte, data);  // a command cuts the subnegotiation short: it is dropped
        }
        return;
    }
  }

  // The byte after an IAC. NOP, data mark, break, go-ahead and the other
  // one-byte commands mean nothing on this line: they are dropped.
  void after_iac(std::uint8_t byte, Bytes& data) {
    state_ = State::data;
    if (byte == IAC) {
      data.push_back(IAC);
    } else if (byte >= WILL && byte <= DONT) {
      verb_ = byte;
      state_ = State::option;
    } else if (byte == SB) {
      subnegotiation_.clear();
      state_ = State::subnegotiation;
    }
  }

  void negotiate(std::uint8_t verb, std::uint8_t option, Bytes& to_send) {
    Option& entry = options_[option];
    switch (verb) {
      case WILL:
        agree(entry.him, server_may(option), DO, DONT, option, to_send);
        return;
      case WONT:
        stop(entry.him, DONT, option, to_send);
        return;
      case DO:
        agree(entry.us, we_may(option), WILL, WONT, option, to_send);
        return;
      default:
        stop(entry.us, WONT, option, to_send);
        return;
    }
  }

  // The server enables an option on its side, or asks us to on ours. Only a
  // change is answered: answering a confirmation would loop.
  static void agree(Q& side, bool wanted, std::uint8_t yes, std::uint8_t no, std::uint8_t option,
                    Bytes& to_send) {
    if (side == Q::asked) {
      side = Q::yes;
      return;
    }
    if (side == Q::yes) return;
    if (wanted) side = Q::yes;
    command(to_send, wanted ? yes : no, option);
  }

  // The server refuses or ends an option: an option in force is ended
  // with an acknowledgement, a request of ours is simply refused.
  static void stop(Q& side, std::uint8_t no, std::uint8_t option, Bytes& to_send) {
    if (side == Q::yes) command(to_send, no, option);
    side = Q::no;
  }

  void on_subnegotiation() {
    if (subnegotiation_.size() < 2 || subnegotiation_[0] != kComPortOption) return;
    const std::uint8_t code = subnegotiation_[1];
    if (code == kServerCodeOffset + FLOWCONTROL_SUSPEND) suspended_ = true;
    if (code == kServerCodeOffset + FLOWCONTROL_RESUME) suspended_ = false;
    if (code >= kServerCodeOffset + SET_BAUDRATE && code <= kServerCodeOffset + SET_CONTROL) {
      on_answer(code - kServerCodeOffset, Bytes(subnegotiation_.begin() + 2, subnegotiation_.end()));
    }
    // Line-state and modem-state notifications, and the rest: nothing for us.
  }

  // An answer that nobody owes is the server's own news: ignored.
  void on_answer(int command, const Bytes& value) {
    Answer& answer = answers_[command];
    if (answer.owed == 0 || --answer.owed > 0) return;
    const std::size_t width = command == SET_BAUDRATE ? 4 : 1;
    answer.value = -1;
    if (value.size() != width) return;
    answer.value = 0;
    for (const std::uint8_t byte : value) answer.value = answer.value << 8 | byte;
  }

  std::array<Option, 256> options_{};
  std::array<Answer, SET_CONTROL + 1> answers_{};
  State state_ = State::data;
  std::uint8_t verb_ = 0;
  Bytes subnegotiation_;
  bool suspended_ = false;
};

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
  Rfc2217Line(std::unique_ptr<Line> transport, Clock& clock, std::string name)
      : transport_(std::move(transport)), clock_(clock), name_(std::move(name)) {}

  ~Rfc2217Line() override { flush(); }

  // The opening negotiation; false, with `error` filled, when the server is
  // not a terminal server that sets its port and passes bytes unchanged.
  bool negotiate(std::string& error) {
    telnet_.offer(out_.back());
    if (!take_input_until([this] { return !telnet_.negotiating(); }, clock_.now() + kNegotiationLimit)) {
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
    // A line that has failed waits out the limit, so that nobody spins on it.
    if (lost()) transport_->wait_ready(direction, deadline - clock_.now());
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

  // Takes what the server has sent so far: data into in_ (up to
  // kInputHeldBytes), commands handled, our replies sent. False when the
  // connection has failed.
  bool take_available() {
    std::uint8_t raw[4096];
    while (in_.size() < kInputHeldBytes) {
      const long got = transport_->read_some(raw, sizeof raw);
      if (got < 0) failed_ = true;
      if (got <= 0) break;
      telnet_.take(raw, static_cast<std::size_t>(got), in_.back(), out_.back());
    }
    return flush();
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
  Clock& clock_;
  std::string name_;
  TelnetComPort telnet_;
  ByteQueue in_;   // data from the server, not yet read
  ByteQueue out_;  // escaped data and commands, not yet taken by the socket
  long baud_ = 0;  // the speed the server last confirmed; 0 before the first
  bool failed_ = false;
};

// The system clock holds no state: one serves every line.
SteadyClock& system_clock() {
  static SteadyClock clock;
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

std::unique_ptr<Line> rfc2217_line_over(std::unique_ptr<Line> transport, Clock& clock, const std::string& name,
                                        std::string& error) {
  auto line = std::make_unique<Rfc2217Line>(std::move(transport), clock, name);
  if (!line->negotiate(error)) return nullptr;
  return line;
}

}  // namespace platform
