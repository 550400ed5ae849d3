// Lock files that say which program has a serial line, as terminal programs
// leave them: DIRECTORY/LCK..NAME, NAME being the device's own name (the last
// part of its path once symlinks are resolved: ttyUSB0 for
// /dev/serial/by-id/usb-...-port0), holding the owner's process id as ten
// characters right-aligned and a newline. Older programs wrote the id as a
// binary int; both are read.
#pragma once

#include <string>

namespace quorvantix::lines {

class LineLockFile {
 public:
  enum class Outcome {
    taken,  // the lock file is ours until this object goes
    busy,   // a process that is alive holds the line
    none,   // no lock file can be made there, and no live process holds one: go on without
    refused,  // something other than a regular file stands at the lock file's name
  };

  // Takes the lock for the device at `path` in `directory`. A lock file whose
  // process is gone is stale and taken over; one that names this process
  // counts as busy (another open of the line in this program holds it). No
  // lock is taken (`none`) for a path where no device is. Only a regular file
  // is taken for a lock file: anything else at its name (a FIFO, a link, a
  // device) is `refused` and left alone. Never blocks.
  static LineLockFile take(const std::string& directory, const std::string& path, Outcome& outcome);

  LineLockFile() = default;
  LineLockFile(LineLockFile&& other) noexcept;
  LineLockFile& operator=(LineLockFile&& other) noexcept;
  LineLockFile(const LineLockFile&) = delete;
  LineLockFile& operator=(const LineLockFile&) = delete;
  ~LineLockFile();  // removes the lock file when it is ours

  // The lock file's full name, when it is ours; empty otherwise.
  const std::string& file() const { return file_; }

 private:
  explicit LineLockFile(std::string file) : file_(std::move(file)) {}
  std::string file_;
};

// The lock file's name for the device at `path` in `directory`.
std::string line_lock_file_name(const std::string& directory, const std::string& path);

}  // namespace quorvantix::lines
