#include "linesim/faults.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quorvantix::linesim {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

std::uint64_t scramble(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

// One seed per direction and kind of fault, so that adding drops to a run does
// not move its flips.
std::uint64_t stream_seed(std::uint64_t seed, unsigned stream, unsigned kind) {
  return scramble(seed ^ scramble(0x100 * (stream + 1) + kind));
}

}  // namespace

FaultCounts& FaultCounts::operator+=(const FaultCounts& other) {
  flipped += other.flipped;
  dropped += other.dropped;
  inserted += other.inserted;
  return *this;
}

std::uint64_t SeededRandom::next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  return scramble(state_);
}

double SeededRandom::unit() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

FaultInjector::Fault::Fault(double rate_per_byte, std::uint64_t seed)
    : rate(rate_per_byte), random(seed), clean_bytes_left(kNever) {
  schedule_next();
}

void FaultInjector::Fault::schedule_next() {
  if (rate <= 0) {
    clean_bytes_left = kNever;
    return;
  }
  if (rate >= 1) {
    clean_bytes_left = 0;
    return;
  }
  const double clean = std::floor(std::log(random.unit()) / std::log1p(-rate));
  clean_bytes_left = clean >= 0x1.0p63 ? kNever : static_cast<std::uint64_t>(clean);
}

FaultInjector::FaultInjector(const FaultRates& rates, std::uint64_t seed, unsigned stream, SpeedFlips flip_from)
    : flip_(rates.flip, stream_seed(seed, stream, 0)),
      flip_from_(std::move(flip_from)),
      speed_flips_(stream_seed(seed, stream, 3)),
      drop_(rates.drop, stream_seed(seed, stream, 1)),
      insert_(rates.insert, stream_seed(seed, stream, 2)) {}

bool FaultInjector::active() const {
  return flip_.rate > 0 || drop_.rate > 0 || insert_.rate > 0 || !flip_from_.empty();
}

void FaultInjector::flip_with_speed(std::uint8_t* bytes, std::size_t count, long baud) {
  const double rate = flip_at(flip_from_, baud);
  if (rate <= 0) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t draw = speed_flips_.next();
    if (static_cast<double>(draw >> 11) * 0x1.0p-53 >= rate) continue;
    bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ (1U << (draw & 7)));
    ++counts_.flipped;
  }
}

std::uint64_t FaultInjector::clean_run(std::size_t remaining) const {
  return std::min({static_cast<std::uint64_t>(remaining), flip_.clean_bytes_left, drop_.clean_bytes_left,
                   insert_.clean_bytes_left});
}

void FaultInjector::advance(std::uint64_t bytes) {
  for (Fault* fault : {&flip_, &drop_, &insert_}) {
    if (fault->clean_bytes_left != kNever) fault->clean_bytes_left -= bytes;
  }
}

void FaultInjector::pass(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out, long baud) {
  const std::size_t before = out.size();
  pass_faults(in, out);
  if (!flip_from_.empty()) flip_with_speed(out.data() + before, out.size() - before, baud);
}

void FaultInjector::pass_faults(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  std::size_t position = 0;
  while (position < in.size()) {
    const auto clean = static_cast<std::size_t>(clean_run(in.size() - position));
    out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(position),
               in.begin() + static_cast<std::ptrdiff_t>(position + clean));
    advance(clean);
    position += clean;
    if (position == in.size()) break;
    damage_one(in[position], out);
    ++position;
  }
}

// The byte at hand is where at least one kind of fault falls. Every kind that
// falls here draws its next distance whether or not it shows (a flip on a
// dropped byte), so the faults of one kind never depend on the other kinds.
void FaultInjector::damage_one(std::uint8_t byte, std::vector<std::uint8_t>& out) {
  const bool drop = drop_.clean_bytes_left == 0;
  const bool flip = flip_.clean_bytes_left == 0;
  const bool insert = insert_.clean_bytes_left == 0;
  for (Fault* fault : {&flip_, &drop_, &insert_}) {
    if (fault->clean_bytes_left != 0 && fault->clean_bytes_left != kNever) --fault->clean_bytes_left;
  }
  if (flip) {
    const auto bit = static_cast<unsigned>(flip_.random.next() >> 61);
    flip_.schedule_next();
    if (!drop) {
      byte = static_cast<std::uint8_t>(byte ^ (1U << bit));
      ++counts_.flipped;
    }
  }
  if (drop) {
    drop_.schedule_next();
    ++counts_.dropped;
  } else {
    out.push_back(byte);
  }
  if (insert) {
    out.push_back(static_cast<std::uint8_t>(insert_.random.next() >> 56));
    insert_.schedule_next();
    ++counts_.inserted;
  }
}

}  // namespace quorvantix::linesim
