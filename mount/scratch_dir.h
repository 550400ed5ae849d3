// The mount's private directory: the copies of fetched files and the files
// being written live there, out of every other user's reach, and go with it.
#pragma once

#include <string>

namespace quorvantix::mount {

class ScratchDir {
 public:
  // Makes a fresh directory (mode 0700) in $TMPDIR, or /tmp. Check made().
  ScratchDir();
  ~ScratchDir();  // removes it with everything in it
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // False, with error() saying why, when no directory could be made.
  bool made() const { return !path_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // A name in the directory that no earlier call gave ("copy-7").
  std::string fresh_name(const std::string& kind);

 private:
  std::string path_;
  std::string error_;
  unsigned long long issued_ = 0;
};

}  // namespace quorvantix::mount
