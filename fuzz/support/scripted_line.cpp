#include "fuzz/support/scripted_line.h"

#include <algorithm>
#include <cstring>

#include "wire/link.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;

namespace {

enum PieceKind { raw = 0, frame = 1, damaged_frame = 2, hang_up = 3 };
constexpr std::size_t kLongestPiece = 1200;
// Pieces that would arrive later than this are left out: enough for a few
// exchanges that each run into every time limit, and no fake hours of polls.
constexpr nanoseconds kLongestScript = std::chrono::minutes(2);
// Longer than any exchange waits before it gives up: five failed frames of a
// transfer, the waits for quiet around them, a customer's three tries.
constexpr nanoseconds kGraceAfterTheEnd = std::chrono::seconds(30);
// A run that has gone on this long in fake time is stuck in a loop that waits.
constexpr nanoseconds kLongestRun = std::chrono::hours(24);

// Mostly short pauses, as within an exchange; some around the time limit and
// the quiet that puts both ends back in step; a few beyond every wait.
long pause_ticks(std::uint8_t control) {
  const long p = control >> 2;
  if (p < 48) return p / 2;
  if (p < 60) return 24 + (p - 48) * 12;
  return 300 * (p - 59);
}

Bytes framed(const std::uint8_t* payload, std::size_t length, bool damaged) {
  Bytes bytes{STX};
  bytes.insert(bytes.end(), payload, payload + length);
  const std::uint8_t check = calc_LPC(payload, static_cast<long>(length));
  bytes.push_back(damaged ? static_cast<std::uint8_t>(check ^ 0x5A) : check);
  bytes.push_back(ETX);
  return bytes;
}

}  // namespace

class ScriptedLine final : public lines::Line {
 public:
  explicit ScriptedLine(ScriptedPeer& peer) : peer_(peer) {}
  long read_some(std::uint8_t* into, std::size_t count) override;
  long write_some(const std::uint8_t* from, std::size_t count) override;
  void wait_ready(lines::Direction direction, nanoseconds limit) override;
  bool set_speed(long baud, std::string& error) override;
  bool lost() const override;
  bool take_next_peer() override;

 private:
  ScriptedPeer& peer_;
};

void ScriptClock::sleep_for(nanoseconds length) { now_ += std::max(length, nanoseconds::zero()); }

void ScriptClock::advance_to(nanoseconds when) { now_ = std::max(now_, when); }

std::vector<Piece> parse_script(const std::uint8_t* data, std::size_t size, nanoseconds tick) {
  std::vector<Piece> script;
  nanoseconds at{};
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t control = data[i++];
    at += pause_ticks(control) * tick;
    if (at > kLongestScript) break;
    const auto kind = static_cast<PieceKind>(control & 3);
    if (kind == hang_up) {
      script.push_back(Piece{at, {}, true});
      continue;
    }
    std::size_t length = 0;
    if (i < size) length = data[i++];
    if (i < size) length |= std::size_t{data[i++]} << 8;
    length = std::min(length % kLongestPiece, size - i);
    const std::uint8_t* bytes = data + i;
    i += length;
    script.push_back(Piece{at, kind == raw ? Bytes(bytes, bytes + length) : framed(bytes, length, kind == damaged_frame)});
  }
  return script;
}

ScriptedPeer::ScriptedPeer(ScriptClock& clock, std::vector<Piece> script) : clock_(clock), script_(std::move(script)) {}

lines::LineOpener ScriptedPeer::opener() {
  return [this](const std::string&, long, std::string&) -> std::unique_ptr<lines::Line> {
    return std::make_unique<ScriptedLine>(*this);
  };
}

Bytes ScriptedPeer::stream() const {
  Bytes all;
  for (const Piece& piece : script_) all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
  return all;
}

void ScriptedPeer::skip_empty_pieces() {
  while (piece_ < script_.size() && !script_[piece_].hang_up && offset_ == script_[piece_].bytes.size()) {
    ++piece_;
    offset_ = 0;
  }
}

long ScriptedPeer::read(std::uint8_t* into, std::size_t count) {
  skip_empty_pieces();
  if (hung_up()) return -1;
  std::size_t moved = 0;
  while (moved < count && piece_ < script_.size() && !script_[piece_].hang_up && arrived(script_[piece_])) {
    const Bytes& bytes = script_[piece_].bytes;
    const std::size_t part = std::min(count - moved, bytes.size() - offset_);
    std::memcpy(into + moved, bytes.data() + offset_, part);
    taken_.insert(taken_.end(), bytes.begin() + static_cast<long>(offset_), bytes.begin() + static_cast<long>(offset_ + part));
    moved += part;
    offset_ += part;
    skip_empty_pieces();
  }
  return static_cast<long>(moved);
}

bool ScriptedPeer::hung_up() const {
  return piece_ < script_.size() && script_[piece_].hang_up && arrived(script_[piece_]);
}

bool ScriptedPeer::take_next_peer() {
  if (!hung_up()) return false;
  ++piece_;
  offset_ = 0;
  idle_after_end_ = {};
  return true;
}

void ScriptedPeer::note_idle(nanoseconds waited) {
  if (used_up_fired_) return;
  // A peer that has hung up for good is as silent as a script at its end.
  if (piece_ >= script_.size() || hung_up()) idle_after_end_ += waited;
  if (idle_after_end_ < kGraceAfterTheEnd && clock_.now() < kLongestRun) return;
  used_up_fired_ = true;
  if (on_used_up_) on_used_up_();
}

void ScriptedPeer::wait_for_input(nanoseconds limit) {
  skip_empty_pieces();
  const nanoseconds before = clock_.now();
  if (piece_ < script_.size() && arrived(script_[piece_]) && !hung_up()) return;
  // A line that has hung up waits out the whole limit, as a failed line does.
  const bool waits_whole_limit = piece_ >= script_.size() || hung_up();
  const nanoseconds until = before + std::max(limit, nanoseconds::zero());
  clock_.advance_to(waits_whole_limit ? until : std::min(until, script_[piece_].at));
  // A read that waits for no time at all must still bring the end nearer.
  note_idle(std::max(clock_.now() - before, nanoseconds(1)));
}

long ScriptedLine::read_some(std::uint8_t* into, std::size_t count) { return peer_.read(into, count); }

long ScriptedLine::write_some(const std::uint8_t* from, std::size_t count) {
  if (peer_.hung_up()) return -1;
  peer_.written_.insert(peer_.written_.end(), from, from + count);
  return static_cast<long>(count);
}

void ScriptedLine::wait_ready(lines::Direction direction, nanoseconds limit) {
  if (direction == lines::Direction::in) peer_.wait_for_input(limit);
}

bool ScriptedLine::set_speed(long baud, std::string& error) {
  // What a serial port takes: a rate from 50 to 4 Mbaud.
  if (baud < 50 || baud > 4'000'000) {
    error = "the scripted line takes no rate " + std::to_string(baud);
    return false;
  }
  peer_.speeds_.push_back(baud);
  return true;
}

bool ScriptedLine::lost() const { return peer_.hung_up(); }

bool ScriptedLine::take_next_peer() { return peer_.take_next_peer(); }

ScriptedLink::ScriptedLink(const std::uint8_t* data, std::size_t size)
    : peer(clock, parse_script(data, size)), link(clock, peer.opener()) {
  peer.on_used_up([this] { link.cancel(); });
  (void)allocport(link, 0, "script");
}

ScriptedLink::~ScriptedLink() { freeport(link, 0); }

}  // namespace quorvantix::fuzzing
