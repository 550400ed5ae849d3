// A folder for the targets that store files, the same few files in it
// before every input, so that an input always meets the same folder.
#pragma once

#include <map>
#include <string>

namespace quorvantix::fuzzing {

// Each path below the folder ("d/e") with what it is: "file:" and its
// contents, "dir", or "link:" and its target.
using Snapshot = std::map<std::string, std::string>;

class Scratch {
 public:
  // The process's one, made under $TMPDIR (or /tmp) at the first call and
  // removed at exit. It stands alone in a folder of its own.
  static Scratch& folder();

  const std::string& path() const { return path_; }
  // Whether the folder still stands alone: a name that climbed out of it
  // lands beside it.
  bool alone() const;
  // Empties the folder and puts the fixture back: a file "a", a file "b c" of
  // two blocks and a bit, a folder "d" with a file "e" of one block, and a
  // symbolic link "up" to "..".
  void reset() const;
  Snapshot snapshot() const;
  // The snapshot right after reset().
  const Snapshot& fixture() const { return fixture_; }

 private:
  explicit Scratch(std::string around);
  ~Scratch();
  std::string around_, path_;
  Snapshot fixture_;
};

}  // namespace quorvantix::fuzzing
