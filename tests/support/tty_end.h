// A program's end of a line given by path (a tty, or a symlink to one): opened
// and set raw as a program would, with blocking-free send and receive.
#pragma once

#include <chrono>
#include <string>

#include "platform/unique_fd.h"
#include "support/pty_pair.h"

namespace testsupport {

class TtyEnd {
 public:
  // Opens `path` read-write, raw 8N1; throws when it cannot.
  explicit TtyEnd(const std::string& path);

  // Writes all bytes, waiting for room as long as `limit` allows; throws when it runs out.
  void send(const Bytes& bytes, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  // Reads exactly `count` bytes, or what arrived when `limit` ran out.
  Bytes receive(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  void close() { fd_.reset(); }

 private:
  platform::UniqueFd fd_;
};

}  // namespace testsupport
