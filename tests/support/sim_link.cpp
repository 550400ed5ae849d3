#include "tests/support/sim_link.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>

namespace quorvantix::testsupport {

using namespace quorvantix::wire;

namespace {

// Thrown into the background ends once the main end is done, to unwind them.
struct SimulationOver {};

thread_local int t_end = -1;

// Longer than any test runs in fake time: beyond it the ends are stuck.
constexpr nanoseconds kTimeCap = std::chrono::hours(24 * 30);

}  // namespace

// --- SimClock ---

void SimClock::sleep_for(nanoseconds length) { wait_until(now_ + std::max(length, nanoseconds::zero()), [] { return kNever; }); }

void SimClock::wait_until(nanoseconds deadline, const std::function<nanoseconds()>& ready_at) {
  if (t_end < 0) {
    now_ = std::max(now_, std::min(deadline, ready_at()));
    return;
  }
  std::unique_lock lock(mutex_);
  if (over_) {
    if (std::uncaught_exceptions() > 0) return;
    throw SimulationOver{};
  }
  End& me = ends_[t_end];
  me = End{true, false, deadline, ready_at};
  hand_over(t_end);
  turn_.wait(lock, [&] { return running_ == t_end; });
  me.waiting = false;
  if (over_ && std::uncaught_exceptions() == 0) throw SimulationOver{};
}

// Picks the end that can go on first, moves the clock there and lets it run.
// Ties go to the next end after `from`, so that no end starves another.
void SimClock::hand_over(int from) {
  const int count = static_cast<int>(ends_.size());
  int chosen = -1;
  nanoseconds earliest = kNever;
  for (int step = 1; step <= count; ++step) {
    const int index = (from + step) % count;
    End& end = ends_[index];
    if (!end.waiting || end.done) continue;
    const nanoseconds wake = std::max(now_, std::min(end.deadline, end.ready_at()));
    if (wake < earliest) earliest = wake, chosen = index;
  }
  if (chosen < 0 || earliest >= kTimeCap) {
    stuck_ = over_ = true;
    running_ = -1;
    turn_.notify_all();
    return;
  }
  now_ = earliest;
  running_ = chosen;
  turn_.notify_all();
}

void SimClock::run_end(int index, const std::function<void()>& body) {
  t_end = index;
  {
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return running_ == index || over_; });
    ends_[index].waiting = false;
  }
  try {
    if (!over_) body();
  } catch (const SimulationOver&) {
  }
  std::unique_lock lock(mutex_);
  ends_[index].done = true;
  if (index == 0) over_ = true;
  if (!over_) hand_over(index);
  running_ = over_ ? -1 : running_;
  turn_.notify_all();
}

void SimClock::run(const std::function<void()>& main, const std::vector<std::function<void()>>& background) {
  // Every end is ready to start at once; the main end starts first.
  ends_.assign(background.size() + 1, End{true, false, now_, [] { return kNever; }});
  over_ = stuck_ = false;
  std::vector<std::thread> threads;
  threads.emplace_back([&] { run_end(0, main); });
  for (std::size_t i = 0; i < background.size(); ++i) {
    threads.emplace_back([&, i] { run_end(static_cast<int>(i + 1), background[i]); });
  }
  {
    std::unique_lock lock(mutex_);
    running_ = 0;
    turn_.notify_all();
    turn_.wait(lock, [&] { return over_; });
    // Unwind the ends that are left, one at a time.
    for (std::size_t i = 0; i < ends_.size(); ++i) {
      if (ends_[i].done) continue;
      running_ = static_cast<int>(i);
      turn_.notify_all();
      turn_.wait(lock, [&] { return ends_[i].done; });
    }
  }
  for (auto& thread : threads) thread.join();
  ends_.clear();
  running_ = -1;
  if (stuck_) throw std::runtime_error("every end waits for something that never comes");
}

// --- The cable's lines ---

class SimLine final : public lines::Line {
 public:
  SimLine(SimCable& cable, SimCable::Side side) : cable_(cable), side_(side), generation_(cable.generation_) {}

  long read_some(std::uint8_t* into, std::size_t count) override {
    if (lost()) return -1;
    auto& in = incoming();
    const std::uint64_t handed_over = in.delivery.handed_over_by(cable_.clock_.now());
    std::size_t moved = 0;
    while (moved < count && in.read_at < handed_over) {
      const SimCable::Arrival& arrival = in.queue[in.read_at++];
      const bool garbled =
          cable_.follow_speeds_ && cable_.baud_ == 0 && arrival.baud != cable_.speed_at(side_, arrival.at);
      into[moved++] = garbled ? 0x00 : arrival.byte;
    }
    return static_cast<long>(moved);
  }

  long write_some(const std::uint8_t* from, std::size_t count) override {
    if (lost()) return -1;
    cable_.carry(side_, from, count);
    return static_cast<long>(count);
  }

  std::size_t output_queued() const override {
    if (!cable_.directions_[side_].output_queue) return 0;
    const nanoseconds left = cable_.directions_[side_].port_free_at - cable_.clock_.now();
    if (left <= nanoseconds::zero()) return 0;
    const nanoseconds byte_time = cable_.byte_time(side_);
    return static_cast<std::size_t>((left + byte_time - nanoseconds(1)) / byte_time);
  }

  void wait_ready(lines::Direction direction, nanoseconds limit) override {
    ++cable_.directions_[side_].waits;
    const nanoseconds deadline = cable_.clock_.now() + limit;
    if (lost() || direction == lines::Direction::out) {
      const SimCable::Direction& out = cable_.directions_[side_];
      const nanoseconds now = cable_.clock_.now();
      const nanoseconds drained = out.output_queue ? std::max(out.port_free_at, now) : now;
      cable_.clock_.wait_until(lost() ? deadline : std::min(deadline, drained), [] { return kNever; });
      return;
    }
    cable_.clock_.wait_until(deadline, [this] {
      if (lost()) return kNever;
      auto& in = incoming();
      const nanoseconds now = cable_.clock_.now();
      if (in.read_at < in.delivery.handed_over_by(now)) return now;
      return in.delivery.next_hand_over().value_or(kNever);
    });
  }

  bool set_speed(long baud, std::string& error) override {
    if (lost()) return error = "the line is cut", false;
    SimCable::Direction& out = cable_.directions_[side_];
    out.speeds.push_back(baud);
    // A serial port changes speed once what was written has left; a pty or a socket at once.
    const nanoseconds now = cable_.clock_.now();
    out.speed_changes.emplace_back(out.output_queue ? std::max(now, out.port_free_at) : now, baud);
    return true;
  }

  bool lost() const override { return generation_ != cable_.generation_; }

 private:
  SimCable::Direction& incoming() const { return cable_.directions_[1 - side_]; }

  SimCable& cable_;
  SimCable::Side side_;
  int generation_;
};

// --- SimCable ---

std::unique_ptr<lines::Line> SimCable::open(Side side, std::string& error) {
  if (!available_) return error = "open(sim): No such device", nullptr;
  return std::make_unique<SimLine>(*this, side);
}

lines::LineOpener SimCable::opener(Side side) {
  return [this, side](const std::string&, long, std::string& error) { return open(side, error); };
}

long SimCable::speed_at(Side side, nanoseconds when) const {
  const auto& changes = directions_[side].speed_changes;
  for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
    if (change->first <= when) return change->second;
  }
  return kStartBaud;
}

void SimCable::carry(Side from, const std::uint8_t* bytes, std::size_t count) {
  Direction& out = directions_[from];
  for (std::size_t i = 0; i < count; ++i) {
    const nanoseconds now = clock_.now();
    const std::size_t index = out.sent.size();
    out.sent.push_back(bytes[i]);
    out.port_free_at = std::max(out.port_free_at, now) + byte_time(from);
    if (index == out.stall_after) out.line_free_at = std::max(out.line_free_at, out.port_free_at) + out.stall_length;
    auto put_on_line = [&](std::uint8_t byte) {
      out.line_free_at = std::max(out.line_free_at, out.port_free_at + latency_);
      out.queue.push_back(Arrival{out.line_free_at, byte, sending_speed(from)});
      out.delivery.arrive(out.line_free_at, byte_time(from), i + 1 == count);
    };
    if (!out.fault) {
      put_on_line(bytes[i]);  // the common case, without a vector a byte
    } else {
      for (const std::uint8_t byte : out.fault(index, bytes[i])) put_on_line(byte);
    }
  }
}

// --- Raw bytes and frames ---

bool write_raw(Link& link, const Bytes& bytes) {
  return write_bytes(link, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

Bytes read_raw(Link& link, std::size_t count) {
  Bytes got;
  const nanoseconds deadline = link.now() + time_limit(link);
  UBYTE byte = 0;
  while (got.size() < count && link.first_byte_within(deadline - link.now()) && receive_bytes(link, &byte, 1)) {
    got.push_back(byte);
  }
  return got;
}

Bytes frame_of(const Bytes& payload) {
  Bytes frame(payload.size() + 3, STX);
  std::copy(payload.begin(), payload.end(), frame.begin() + 1);
  frame[payload.size() + 1] = calc_LPC(payload.data(), static_cast<long>(payload.size()));
  frame.back() = ETX;
  return frame;
}

Bytes frame_of(const std::string& payload) { return frame_of(Bytes(payload.begin(), payload.end())); }

SimPair::SimPair(nanoseconds tick) : clock(tick) {
  if (!allocport(service, 0, "sim") || !allocport(customer, 0, "sim")) {
    throw std::runtime_error("the simulated line did not open");
  }
}

}  // namespace quorvantix::testsupport
