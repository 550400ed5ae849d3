// The Telnet parser of rfc2217: lines against any bytes a terminal server
// may send: the check that fuzz/telnet_fuzz.cpp runs for libFuzzer, and the
// test suite runs over the corpus in fuzz/corpus/telnet.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include "lines/telnet_com_port.h"

namespace quorvantix::fuzzing {

// Whether, after `parser` has taken what it has, a request for an option
// (`verb` and `option` chosen by two bytes) sent twice in a row draws no
// more replies than sent once: a request that changes nothing is not
// answered, so that a server that repeats one cannot make us repeat ours.
inline bool repeat_goes_unanswered(const lines::TelnetComPort& parser, std::uint8_t verb, std::uint8_t option) {
  using lines::TelnetComPort;
  using namespace lines::telnet;
  // Ends whatever the stream was in (a command, a subnegotiation): data follows.
  const TelnetComPort::Bytes back_to_data{IAC, SE, IAC, SE};
  const TelnetComPort::Bytes request{IAC, static_cast<std::uint8_t>(WILL + verb % 4), option};
  TelnetComPort once = parser;
  TelnetComPort::Bytes data, ignored, replies_once, replies_twice;
  once.take(back_to_data.data(), back_to_data.size(), data, ignored);
  TelnetComPort twice = once;
  once.take(request.data(), request.size(), data, replies_once);
  twice.take(request.data(), request.size(), data, replies_twice);
  twice.take(request.data(), request.size(), data, replies_twice);
  return replies_twice == replies_once;
}

// Feeds `bytes` to a fresh parser whole, and to another in reads whose
// lengths the first byte chooses (1 to 8 bytes, in turn), and checks what
// the line relies on: the cut changes nothing; no more data comes out than
// went in, nor more replies (one of 3 bytes at most for each command of 3);
// a request repeated is not answered again; and the data, escaped as it
// would go back, reads as the same data with no reply. Returns the rule
// broken, or an empty string.
inline std::string telnet_rule_broken(const std::uint8_t* bytes, std::size_t size) {
  using lines::TelnetComPort;
  TelnetComPort whole, cut;
  TelnetComPort::Bytes data, replies, cut_data, cut_replies;
  whole.take(bytes, size, data, replies);
  const unsigned lengths = size > 0 ? bytes[0] : 0;
  for (std::size_t at = 0, turn = 0; at < size; ++turn) {
    const std::size_t length = std::min<std::size_t>(1 + ((lengths >> (turn % 8)) & 7), size - at);
    cut.take(bytes + at, length, cut_data, cut_replies);
    at += length;
  }
  if (cut_data != data || cut_replies != replies || cut.fault() != whole.fault()) return "reads cut elsewhere differ";
  if (data.size() > size) return "more data than bytes";
  if (replies.size() > size) return "more replies than commands";
  if (size >= 3 && !repeat_goes_unanswered(whole, bytes[1], bytes[2])) return "a repeated request answered again";
  TelnetComPort::Bytes escaped, again, none;
  TelnetComPort::escape(data.data(), data.size(), escaped);
  TelnetComPort fresh;
  fresh.take(escaped.data(), escaped.size(), again, none);
  if (again != data || !none.empty()) return "escaped data reads back otherwise";
  return {};
}

}  // namespace quorvantix::fuzzing
