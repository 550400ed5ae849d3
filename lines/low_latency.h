// Low latency on serial ports that offer it: USB adapters above all.
#pragma once

#include <string>

namespace quorvantix::lines {

// Asks the driver of the port on `fd` (at `path`) for low latency while this
// lives. A USB adapter otherwise holds received bytes back until its latency
// timer runs out (16 ms on FTDI chips), and stop and wait pays that on every
// frame and every answer. Ports without the setting (a pty, a socket) are
// left as they are; on destruction the port gets back the flags it had. A
// port that has the setting and refuses it (a CH340 or PL2303 adapter's
// driver) is named on standard error, once in the life of the program.
class LowLatency {
 public:
  LowLatency(int fd, const std::string& path);
  ~LowLatency();
  LowLatency(const LowLatency&) = delete;
  LowLatency& operator=(const LowLatency&) = delete;

  // True when the driver took the request (or had low latency already).
  bool active() const { return active_; }

 private:
  int fd_;
  bool active_ = false;
  bool changed_ = false;
};

}  // namespace quorvantix::lines
