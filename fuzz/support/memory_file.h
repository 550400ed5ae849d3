// A file in memory that a path names, for parsers that read a file by its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/unique_fd.h"

namespace quorvantix::fuzzing {

class MemoryFile {
 public:
  MemoryFile();
  // Makes `data` the file's contents; the path it can be opened by.
  const std::string& hold(const std::uint8_t* data, std::size_t size);

 private:
  host::UniqueFd fd_;
  std::string path_;
};

}  // namespace quorvantix::fuzzing
