// Telling the service manager (systemd, for a unit of Type=notify) how the
// service stands: ready once its line is open, stopping when it ends, and
// alive while it waits, for the unit's watchdog. Outside a unit, and in a
// build without libsystemd, nothing is sent.
#pragma once

#include <chrono>
#include <optional>

namespace quorvantix::host {

class ServiceManager {
 public:
  // Takes the watchdog's interval from the environment the manager gives.
  ServiceManager();

  // Whether this build can tell a service manager anything at all.
  static bool can_notify();

  void ready();
  void stopping();
  // A wait begins at `now` (on any clock that only moves forward): a
  // keep-alive goes out when half the watchdog's interval has passed since
  // the last one, so that a service whose waits stop coming (hung in a call
  // that never returns) is ended and started again by the manager.
  void waiting(std::chrono::nanoseconds now);

 private:
  std::chrono::nanoseconds keep_alive_every_{0};  // 0: no watchdog
  std::optional<std::chrono::nanoseconds> last_keep_alive_;
};

}  // namespace quorvantix::host
