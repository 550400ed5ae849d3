// libFuzzer: the Telnet parser of rfc2217: lines (telnet_fuzz.h says what it checks).
#include <cstdint>

#include "fuzz/telnet_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!quorvantix::fuzzing::telnet_rule_broken(data, size).empty()) __builtin_trap();
  return 0;
}
