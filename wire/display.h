// The display hook of the transfers: a progress text. The service shows
// nothing; the customer program puts a display of its own behind it.
#pragma once

#include <cstdint>

namespace quorvantix::wire {

// How far a transfer has come, for displays that show more than the text.
struct TransferProgress {
  std::int64_t bytes_done = 0;
  std::int64_t bytes_total = 0;
  bool final = false;  // the transfer is complete; the text is its throughput
};

// A text gadget that shows the progress of one transfer.
class Gadget {
 public:
  virtual ~Gadget() = default;
  // The file of the transfer, before its progress: its name as its header
  // gives it (in wire form) and its size in bytes.
  virtual void set_file(const char* /*wire_name*/, std::int64_t /*size*/) {}
  // Shows `text` ("%5d/%5d" blocks done and in all, or "%d Bytes/s" at the end).
  virtual void set_text(const char* text, const TransferProgress& progress) = 0;
  // Called after the final text; a window gadget pauses here so that it can be read.
  virtual void pause_after_final() {}
};

}  // namespace quorvantix::wire
