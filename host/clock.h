// The time that the link's limits run on, and its sleeps.
#pragma once

#include <chrono>

namespace quorvantix::host {

// A tick is the unit of the link's waits: 1/50 s on the system clock.
constexpr std::chrono::nanoseconds kStandardTick = std::chrono::milliseconds(20);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::nanoseconds now() const = 0;
  virtual void sleep_for(std::chrono::nanoseconds length) = 0;
  // The length of one tick on this clock.
  virtual std::chrono::nanoseconds tick() const = 0;
  // The time of day, for time stamps: since 1970-01-01 00:00 UTC. A clock
  // that knows no date gives now(), as if it had started then.
  virtual std::chrono::nanoseconds time_of_day() const { return now(); }
};

// The system's monotonic clock. A shorter tick makes every time limit shorter
// in proportion (the fault suite runs its many time-outs that way).
class SteadyClock final : public Clock {
 public:
  explicit SteadyClock(std::chrono::nanoseconds tick = kStandardTick) : tick_(tick) {}
  std::chrono::nanoseconds now() const override;
  void sleep_for(std::chrono::nanoseconds length) override;
  std::chrono::nanoseconds tick() const override { return tick_; }
  // The system's real-time clock, which follows the host's corrections.
  std::chrono::nanoseconds time_of_day() const override;

 private:
  std::chrono::nanoseconds tick_;
};

}  // namespace quorvantix::host
