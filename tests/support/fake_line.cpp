#include "support/fake_line.h"

#include <algorithm>

namespace testsupport {

using std::chrono::nanoseconds;

void FakeLine::arrive(const Bytes& bytes, nanoseconds at) {
  for (auto byte : bytes) incoming_.push_back({at, byte});
  std::stable_sort(incoming_.begin(), incoming_.end(),
                   [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
}

long FakeLine::read_some(std::uint8_t* into, std::size_t count) {
  if (failed_) return -1;
  std::size_t moved = 0;
  while (moved < count && byte_ready()) {
    into[moved++] = incoming_.front().byte;
    incoming_.pop_front();
  }
  return static_cast<long>(moved);
}

long FakeLine::write_some(const std::uint8_t* from, std::size_t count) {
  if (failed_) return -1;
  if (output_blocked_) return 0;
  const std::size_t moved = std::min(count, bytes_per_write_);
  written_.insert(written_.end(), from, from + moved);
  return static_cast<long>(moved);
}

// A failed line waits out the limit, as the contract asks; a working one ends
// the wait when the next byte arrives (reading) or at once (writing).
void FakeLine::wait_ready(platform::Direction direction, nanoseconds limit) {
  ++waits_;
  const nanoseconds deadline = clock_ + limit;
  if (failed_) {
    clock_ = deadline;
    return;
  }
  if (direction == platform::Direction::out) {
    if (output_blocked_) clock_ = deadline;
    return;
  }
  if (byte_ready()) return;
  if (!incoming_.empty() && incoming_.front().at <= deadline) {
    clock_ = incoming_.front().at;
    return;
  }
  clock_ = deadline;
}

bool FakeLine::apply_settings(const IOExtSer& request, std::string& error) {
  settings_.push_back({request.io_Baud, request.io_ReadLen, request.io_WriteLen, request.io_StopBits,
                       request.io_SerFlags, request.io_RBufLen, request.io_ExtFlags});
  if (!refuse_settings_) return true;
  error = "fake line: settings refused";
  return false;
}

}  // namespace testsupport
