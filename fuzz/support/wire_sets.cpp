#include "fuzz/support/wire_sets.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace quorvantix::fuzzing {

host::NameCodec wire_codec(std::uint8_t choice) {
  std::string error;
  std::optional<host::NameCodec> codec = host::NameCodec::open(wire_set(choice), error, "UTF-8");
  if (!codec) throw std::runtime_error(error);
  return std::move(*codec);
}

const host::NameCodec& kept_wire_codec(std::uint8_t choice) {
  static std::optional<host::NameCodec> kept[kWireSetCount];
  std::optional<host::NameCodec>& codec = kept[choice % kWireSetCount];
  if (!codec) codec = wire_codec(choice);
  return *codec;
}

}  // namespace quorvantix::fuzzing
