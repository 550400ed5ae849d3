#include "lines/telnet_com_port.h"

#include <algorithm>

namespace quorvantix::lines {

using namespace telnet;

namespace {

bool we_may(std::uint8_t option) {
  return option == kBinaryOption || option == kSuppressGoAheadOption || option == kComPortOption;
}

bool server_may(std::uint8_t option) { return option == kBinaryOption || option == kSuppressGoAheadOption; }

void command(Bytes& to_send, std::uint8_t verb, std::uint8_t option) {
  to_send.insert(to_send.end(), {IAC, verb, option});
}

}  // namespace

void TelnetComPort::offer(Bytes& to_send) {
  ask(options_[kComPortOption].us, WILL, kComPortOption, to_send);
  ask(options_[kBinaryOption].us, WILL, kBinaryOption, to_send);
  ask(options_[kBinaryOption].him, DO, kBinaryOption, to_send);
}

bool TelnetComPort::negotiating() const {
  return options_[kComPortOption].us == Q::asked || options_[kBinaryOption].us == Q::asked ||
         options_[kBinaryOption].him == Q::asked;
}

bool TelnetComPort::binary_both_ways() const {
  return options_[kBinaryOption].us == Q::yes && options_[kBinaryOption].him == Q::yes;
}

bool TelnetComPort::com_port() const { return options_[kComPortOption].us == Q::yes; }

void TelnetComPort::take(const std::uint8_t* bytes, std::size_t count, Bytes& data, Bytes& to_send) {
  for (std::size_t i = 0; i < count && fault_.empty(); ++i) step(bytes[i], data, to_send);
}

void TelnetComPort::escape(const std::uint8_t* bytes, std::size_t count, Bytes& to_send) {
  for (std::size_t i = 0; i < count; ++i) {
    if (bytes[i] == IAC) to_send.push_back(IAC);
    to_send.push_back(bytes[i]);
  }
}

void TelnetComPort::request(const PortSettings& settings, Bytes& to_send) {
  const auto rate = static_cast<std::uint32_t>(settings.baud);
  subnegotiate(SET_BAUDRATE,
               {std::uint8_t(rate >> 24), std::uint8_t(rate >> 16), std::uint8_t(rate >> 8), std::uint8_t(rate)},
               to_send);
  subnegotiate(SET_DATASIZE, {std::uint8_t(settings.data_bits)}, to_send);
  subnegotiate(SET_PARITY, {std::uint8_t(settings.parity)}, to_send);
  subnegotiate(SET_STOPSIZE, {std::uint8_t(settings.stop_size)}, to_send);
  subnegotiate(SET_CONTROL, {std::uint8_t(settings.control)}, to_send);
}

bool TelnetComPort::awaiting_answers() const {
  return std::any_of(answers_.begin(), answers_.end(), [](const Answer& answer) { return answer.owed > 0; });
}

PortSettings TelnetComPort::answered() const {
  return {answers_[SET_BAUDRATE].value, answers_[SET_DATASIZE].value, answers_[SET_PARITY].value,
          answers_[SET_STOPSIZE].value, answers_[SET_CONTROL].value};
}

void TelnetComPort::ask(Q& side, std::uint8_t verb, std::uint8_t option, Bytes& to_send) {
  side = Q::asked;
  command(to_send, verb, option);
}

void TelnetComPort::subnegotiate(std::uint8_t code, const Bytes& value, Bytes& to_send) {
  to_send.insert(to_send.end(), {IAC, SB, kComPortOption, code});
  escape(value.data(), value.size(), to_send);
  to_send.insert(to_send.end(), {IAC, SE});
  ++answers_[code].owed;
}

void TelnetComPort::step(std::uint8_t byte, Bytes& data, Bytes& to_send) {
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
      } else {
        keep_subnegotiated(byte);
      }
      return;
    case State::subnegotiation_command:
      if (byte == IAC) {
        state_ = State::subnegotiation;
        keep_subnegotiated(IAC);
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
void TelnetComPort::after_iac(std::uint8_t byte, Bytes& data) {
  state_ = State::data;
  if (byte == IAC) {
    data.push_back(IAC);
  } else if (byte >= WILL && byte <= DONT) {
    verb_ = byte;
    state_ = State::option;
  } else if (byte == SB) {
    subnegotiation_.clear();
    subnegotiation_length_ = 0;
    state_ = State::subnegotiation;
  }
}

// What we keep of one subnegotiation is its start, enough for every
// COM-PORT-OPTION answer; the rest of a longer one (a server's signature
// text) is skipped. One that goes on past any server's is a stream that no
// longer says where data begins: reading on would take data for commands,
// or commands for data.
void TelnetComPort::keep_subnegotiated(std::uint8_t byte) {
  constexpr std::size_t kKeptBytes = 64;
  if (subnegotiation_.size() < kKeptBytes) subnegotiation_.push_back(byte);
  if (++subnegotiation_length_ <= kLongestSubnegotiationBytes) return;
  fault_ = "the server sent a Telnet subnegotiation of more than " + std::to_string(kLongestSubnegotiationBytes) +
           " bytes, after which its data cannot be told from its commands";
}

void TelnetComPort::negotiate(std::uint8_t verb, std::uint8_t option, Bytes& to_send) {
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
// change is answered: answering a confirmation would loop, and so would
// refusing a request again that we have refused already.
void TelnetComPort::agree(Q& side, bool wanted, std::uint8_t yes, std::uint8_t no, std::uint8_t option,
                          Bytes& to_send) {
  if (side == Q::asked) {
    side = Q::yes;
    return;
  }
  if (side != Q::no) return;
  side = wanted ? Q::yes : Q::refused;
  command(to_send, wanted ? yes : no, option);
}

// The server refuses or ends an option: an option in force is ended with an
// acknowledgement, a request of ours is simply refused. After it, a request
// for the option is a change again, and answered.
void TelnetComPort::stop(Q& side, std::uint8_t no, std::uint8_t option, Bytes& to_send) {
  if (side == Q::yes) command(to_send, no, option);
  side = Q::no;
}

void TelnetComPort::on_subnegotiation() {
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
void TelnetComPort::on_answer(int command, const Bytes& value) {
  Answer& answer = answers_[command];
  if (answer.owed == 0 || --answer.owed > 0) return;
  const std::size_t width = command == SET_BAUDRATE ? 4 : 1;
  answer.value = -1;
  if (value.size() != width) return;
  answer.value = 0;
  for (const std::uint8_t byte : value) answer.value = answer.value << 8 | byte;
}

}  // namespace quorvantix::lines
