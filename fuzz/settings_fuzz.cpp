// The customer's settings file (customer.conf): lines "NAME = VALUE",
// comments, blank lines, and anything else a file can hold.
//
// Input: the file's contents.
#include <cstddef>
#include <cstdint>
#include <string>

#include "customer/options.h"
#include "fuzz/support/check.h"
#include "fuzz/support/memory_file.h"

namespace quorvantix::fuzzing {

// A file is taken whole, or refused with the line that cannot be used.
int settings_input(const std::uint8_t* data, std::size_t size) {
  static MemoryFile file;
  const std::string& path = file.hold(data, size);
  customer::Options options;
  std::string error;
  if (!customer::read_settings(path, options, error)) {
    FUZZ_CHECK(error.rfind(path + ", line ", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(error.empty() && options.unit >= 0 && options.baud >= 0);
  if (options.charset != host::kDefaultWireCharset) FUZZ_CHECK(host::NameCodec::open(options.charset, error));
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::settings_input(data, size);
}
