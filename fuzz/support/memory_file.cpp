#include "fuzz/support/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

namespace quorvantix::fuzzing {

MemoryFile::MemoryFile() : fd_(memfd_create("quorvantix-fuzz", MFD_CLOEXEC)) {
  if (!fd_) throw std::runtime_error("memfd_create failed");
  path_ = "/proc/self/fd/" + std::to_string(fd_.get());
}

const std::string& MemoryFile::hold(const std::uint8_t* data, std::size_t size) {
  const auto length = static_cast<off_t>(size);
  if (ftruncate(fd_.get(), 0) != 0 || pwrite(fd_.get(), data, size, 0) != length) {
    throw std::runtime_error("cannot write the memory file");
  }
  return path_;
}

}  // namespace quorvantix::fuzzing
