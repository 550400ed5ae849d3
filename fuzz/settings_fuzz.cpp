// The customer's settings file (customer.conf): lines "NAME = VALUE",
// comments, blank lines, and anything else a file can hold.
//
// Input: the file's contents.
#include <cstddef>
#include <cstdint>
#include <string>

#include "options.h"
#include "support/check.h"
#include "support/memory_file.h"

namespace fuzzing {

// A file is taken whole, or refused with the line that cannot be used.
int settings_input(const std::uint8_t* data, std::size_t size) {
  static MemoryFile file;
  const std::string& path = file.hold(data, size);
  customer_side::Options options;
  std::string error;
  if (!customer_side::read_settings(path, options, error)) {
    FUZZ_CHECK(error.rfind(path + ", line ", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(error.empty() && options.unit >= 0 && options.baud >= 0);
  if (options.charset != platform::kDefaultWireCharset) FUZZ_CHECK(platform::NameCodec::open(options.charset, error));
  return 0;
}

}  // namespace fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::settings_input(data, size);
}
