#include <systemd/sd-daemon.h>

#include <cstdint>

#include "host/service_manager.h"

namespace quorvantix::host {

ServiceManager::ServiceManager() {
  std::uint64_t interval_us = 0;
  if (sd_watchdog_enabled(0, &interval_us) > 0) keep_alive_every_ = std::chrono::microseconds(interval_us / 2);
}

bool ServiceManager::can_notify() { return true; }

void ServiceManager::ready() { sd_notify(0, "READY=1"); }

void ServiceManager::stopping() { sd_notify(0, "STOPPING=1"); }

void ServiceManager::waiting(std::chrono::nanoseconds now) {
  if (keep_alive_every_ <= std::chrono::nanoseconds::zero()) return;
  if (last_keep_alive_ && now - *last_keep_alive_ < keep_alive_every_) return;
  sd_notify(0, "WATCHDOG=1");
  last_keep_alive_ = now;
}

}  // namespace quorvantix::host
