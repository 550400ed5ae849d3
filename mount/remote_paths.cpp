#include "mount/remote_paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "session/session.h"

namespace quorvantix::mount {

Folder parts_of(const std::string& path) {
  Folder parts;
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string key_of(const Folder& parts) {
  std::string key;
  for (const auto& part : parts) key += "/" + part;
  return key.empty() ? "/" : key;
}

Folder parent_of(Folder parts) {
  if (!parts.empty()) parts.pop_back();
  return parts;
}

std::int64_t size_of_file(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

std::int64_t size_of_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

}  // namespace quorvantix::mount
