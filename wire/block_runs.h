// Files in runs of blocks, for the file transfers.
//
// A read or a write of the file for every block would sit between each frame
// and its answer, where stop and wait pays for every microsecond; the blocks
// are read and written in runs instead. The line sees no difference, and the
// file still takes its place only once complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "host/file_system.h"
#include "wire/status.h"
#include "wire/wire.h"

namespace quorvantix::wire {

constexpr std::size_t kRunBytes = 64 * kBlockBytes;

// The file to send, read a run ahead.
class BlockSource {
 public:
  explicit BlockSource(host::FileReader& file) : file_(file), run_(kRunBytes) {}

  // Exactly `count` bytes into `into`; false when the file has fewer left (it
  // has shrunk under us) or a read fails.
  bool take(char* into, std::size_t count) {
    while (count > 0) {
      if (at_ == filled_ && !refill()) return false;
      const std::size_t part = std::min(count, filled_ - at_);
      std::memcpy(into, run_.data() + at_, part);
      at_ += part;
      into += part;
      count -= part;
    }
    return true;
  }

 private:
  bool refill() {
    const long got = file_.read(run_.data(), run_.size());
    if (got <= 0) return false;
    at_ = 0;
    filled_ = static_cast<std::size_t>(got);
    return true;
  }

  host::FileReader& file_;
  std::vector<char> run_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
};

// The file being received, written a run at a time.
class BlockSink {
 public:
  explicit BlockSink(host::FileWriter& file) : file_(file) { run_.reserve(kRunBytes); }

  // False when a write fails.
  bool put(const UBYTE* from, std::size_t count) {
    if (run_.size() + count > kRunBytes && !flush()) return false;
    run_.insert(run_.end(), from, from + count);
    return true;
  }
  bool flush() {
    const bool written = run_.empty() || file_.write(run_.data(), run_.size());
    run_.clear();
    return written;
  }
  // Everything written, and the file in its place.
  bool commit() { return flush() && file_.commit(); }

 private:
  host::FileWriter& file_;
  std::vector<UBYTE> run_;
};

}  // namespace quorvantix::wire
