// The Telnet side of an rfc2217: line, without I/O: the terminal server's
// bytes go in, data and what we must send come out. The line (rfc2217_line.h)
// moves the bytes; this says what they mean, in pieces of any size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvantix::lines {

namespace telnet {
using Bytes = std::vector<std::uint8_t>;

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
// A subnegotiation longer than this is no server's: past it the stream is
// taken for broken (TelnetComPort::fault).
constexpr std::size_t kLongestSubnegotiationBytes = 4096;
}  // namespace telnet

// The port settings that a client asks for, and what the server answers.
struct PortSettings {
  long baud = 0;
  long data_bits = 8;
  long parity = telnet::kParityNone;
  long stop_size = telnet::kOneStopBit;
  long control = telnet::kNoFlowControl;
  bool operator==(const PortSettings&) const = default;
};

class TelnetComPort {
 public:
  using Bytes = telnet::Bytes;

  // Offers COM-PORT-OPTION and asks for binary transmission both ways.
  void offer(Bytes& to_send);

  bool negotiating() const;
  bool binary_both_ways() const;
  bool com_port() const;
  // The server has asked us to hold our data (FLOWCONTROL-SUSPEND) and not yet resumed.
  bool suspended() const { return suspended_; }

  // Takes bytes as they came from the server, in pieces of any size: data
  // into `data`, our replies to its negotiation into `to_send`. Each request
  // that changes nothing (one already granted, or refused and asked again
  // without a word between) goes unanswered, as Telnet's rule against loops
  // asks: a server that repeats a request cannot make us repeat an answer.
  // After a fault the bytes are ignored.
  void take(const std::uint8_t* bytes, std::size_t count, Bytes& data, Bytes& to_send);

  // Why the server's stream can no longer be read (a subnegotiation that
  // does not end); empty while it can.
  const std::string& fault() const { return fault_; }

  // Data as it goes to the server: IAC doubled.
  static void escape(const std::uint8_t* bytes, std::size_t count, Bytes& to_send);

  // Asks for `settings`; the server owes an answer to each of the five.
  void request(const PortSettings& settings, Bytes& to_send);

  // True while an answer to a request is missing. Answers are counted: after
  // a request that went unanswered, the next waits for the late answers too,
  // and its values are the last ones.
  bool awaiting_answers() const;
  PortSettings answered() const;

 private:
  // Where one side of an option stands (the Q method of RFC 1143, without
  // its queue: we never withdraw an option). `refused`: off, and the
  // server's request for it has had our refusal.
  enum class Q : std::uint8_t { no, yes, asked, refused };
  struct Option {
    Q us = Q::no;   // we perform it: our WILL, the server's DO
    Q him = Q::no;  // the server performs it: its WILL, our DO
  };
  enum class State : std::uint8_t { data, command, option, subnegotiation, subnegotiation_command };
  struct Answer {
    int owed = 0;
    long value = -1;
  };

  static void ask(Q& side, std::uint8_t verb, std::uint8_t option, Bytes& to_send);
  static void agree(Q& side, bool wanted, std::uint8_t yes, std::uint8_t no, std::uint8_t option, Bytes& to_send);
  static void stop(Q& side, std::uint8_t no, std::uint8_t option, Bytes& to_send);

  void subnegotiate(std::uint8_t code, const Bytes& value, Bytes& to_send);
  void step(std::uint8_t byte, Bytes& data, Bytes& to_send);
  void after_iac(std::uint8_t byte, Bytes& data);
  void keep_subnegotiated(std::uint8_t byte);
  void negotiate(std::uint8_t verb, std::uint8_t option, Bytes& to_send);
  void on_subnegotiation();
  void on_answer(int command, const Bytes& value);

  std::array<Option, 256> options_{};
  std::array<Answer, telnet::SET_CONTROL + 1> answers_{};
  State state_ = State::data;
  std::uint8_t verb_ = 0;
  Bytes subnegotiation_;
  std::size_t subnegotiation_length_ = 0;
  bool suspended_ = false;
  std::string fault_;
};

}  // namespace quorvantix::lines
