// Real directories and files for tests: a fresh directory that disappears with
// its contents, and small helpers to make and read files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvantix::testsupport {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's full name, links resolved.
  const std::string& path() const { return path_; }
  // The full name of `name` inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes the test process's current directory `directory` and goes back on
// destruction.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& directory);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::string previous_;
};

// `count` bytes of a pattern that differs from block to block, so that a lost,
// repeated or swapped block shows.
Bytes pattern_bytes(std::size_t count, std::uint8_t seed = 1);
void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
// The file's bytes, or none when there is no such file.
Bytes read_file_if_any(const std::string& path);
bool exists(const std::string& path);
// The names in `directory`, sorted, without "." and "..".
std::vector<std::string> names_in(const std::string& directory);

}  // namespace quorvantix::testsupport
