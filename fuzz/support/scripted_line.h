// The far end of a line, played from a fuzzer's input: what arrives, when,
// and when the peer hangs up. One thread, one fake clock that moves only
// when a wait asks it to, so an input always runs the same way, and at once.
//
// The input is a script of pieces, each:
//   control byte  bits 0-1: 0 raw bytes, 1 a frame (STX, bytes, their check
//                 byte, ETX), 2 a frame whose check byte is wrong, 3 a hang-up;
//                 bits 2-7, p: the pause before the piece, in ticks (the
//                 time limit is 105): p/2 for p < 48, 24 + 12 (p - 48) for
//                 p < 60, 300 (p - 59) above
//   length        two bytes, low first, taken modulo 1200 (not for a hang-up)
//   bytes         that many, or what is left of the input
// A piece arrives whole, its pause after the one before it arrived; pieces
// that would arrive more than two minutes after the start are left out.
//
// Once the script is used up and a read has waited for a while longer (long
// enough for any exchange to give up), the peer calls `on_used_up`, which
// cancels the link under test: every loop of the programs ends then.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/clock.h"
#include "lines/serial_line.h"
#include "wire/link.h"

namespace quorvantix::fuzzing {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::nanoseconds;

class ScriptClock final : public host::Clock {
 public:
  nanoseconds now() const override { return now_; }
  void sleep_for(nanoseconds length) override;
  nanoseconds tick() const override { return host::kStandardTick; }
  void advance_to(nanoseconds when);

 private:
  nanoseconds now_{};
};

struct Piece {
  nanoseconds at{};  // when it arrives
  Bytes bytes;
  bool hang_up = false;
};

// The pieces of a script (see above), timed on `tick`.
std::vector<Piece> parse_script(const std::uint8_t* data, std::size_t size,
                                nanoseconds tick = host::kStandardTick);

// Everything the far end of a scripted line knows; the lines opened on it
// share it, so that a line closed and opened again goes on with the script.
class ScriptedPeer {
 public:
  ScriptedPeer(ScriptClock& clock, std::vector<Piece> script);

  // Called once, after the script is used up and the reader has waited the
  // grace time: it cancels the link.
  void on_used_up(std::function<void()> hook) { on_used_up_ = std::move(hook); }
  // Opens a line on this peer (any device name, any unit).
  lines::LineOpener opener();

  const Bytes& written() const { return written_; }
  // The bytes of the script that reads have taken, in order.
  const Bytes& taken() const { return taken_; }
  // Every byte the script carries, hang-ups left out.
  Bytes stream() const;
  // The line speeds set, in order.
  const std::vector<long>& speeds() const { return speeds_; }
  bool used_up() const { return used_up_fired_; }

 private:
  friend class ScriptedLine;
  long read(std::uint8_t* into, std::size_t count);
  void wait_for_input(nanoseconds limit);
  bool hung_up() const;
  bool take_next_peer();
  bool arrived(const Piece& piece) const { return piece.at <= clock_.now(); }
  void skip_empty_pieces();
  void note_idle(nanoseconds waited);

  ScriptClock& clock_;
  std::vector<Piece> script_;
  std::size_t piece_ = 0;  // the piece being read
  std::size_t offset_ = 0;  // within it
  Bytes written_, taken_;
  std::vector<long> speeds_;
  nanoseconds idle_after_end_{};
  bool used_up_fired_ = false;
  std::function<void()> on_used_up_;
};

// A link whose line is a scripted peer, open at 9600 baud, and cancelled
// once the script is used up.
struct ScriptedLink {
  ScriptedLink(const std::uint8_t* data, std::size_t size);
  ScriptedLink(const ScriptedLink&) = delete;
  ScriptedLink& operator=(const ScriptedLink&) = delete;
  ~ScriptedLink();

  ScriptClock clock;
  ScriptedPeer peer;
  wire::Link link;
};

}  // namespace quorvantix::fuzzing
