#include "mount/scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "host/errno_text.h"

namespace quorvantix::mount {

ScratchDir::ScratchDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/quorvantix-mount-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    error_ = host::describe_errno("mkdtemp", pattern);
    return;
  }
  path_ = name.data();
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::fresh_name(const std::string& kind) { return path_ + "/" + kind + "-" + std::to_string(++issued_); }

}  // namespace quorvantix::mount
