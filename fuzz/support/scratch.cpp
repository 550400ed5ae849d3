#include "fuzz/support/scratch.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace quorvantix::fuzzing {

namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string contents_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string pattern(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

std::string make_folder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvantix-fuzz-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder in " + name);
  return name;
}

}  // namespace

Scratch& Scratch::folder() {
  static Scratch scratch(make_folder());
  return scratch;
}

Scratch::Scratch(std::string around) : around_(std::move(around)), path_(around_ + "/served") {
  fs::create_directory(path_);
  reset();
  fixture_ = snapshot();
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(around_, ignored);
}

bool Scratch::alone() const {
  return std::distance(fs::directory_iterator(around_), fs::directory_iterator()) == 1;
}

void Scratch::reset() const {
  for (const auto& entry : fs::directory_iterator(path_)) fs::remove_all(entry.path());
  const fs::path top(path_);
  write_file(top / "a", "0123456789");
  write_file(top / "b c", pattern(2 * 1024 + 52));
  fs::create_directory(top / "d");
  write_file(top / "d" / "e", pattern(1024));
  fs::create_directory_symlink("..", top / "up");
}

Snapshot Scratch::snapshot() const {
  Snapshot snapshot;
  for (const auto& entry : fs::recursive_directory_iterator(path_)) {
    const std::string name = entry.path().string().substr(path_.size() + 1);
    if (entry.is_symlink()) {
      snapshot[name] = "link:" + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      snapshot[name] = "dir";
    } else {
      snapshot[name] = "file:" + contents_of(entry.path());
    }
  }
  return snapshot;
}

}  // namespace quorvantix::fuzzing
