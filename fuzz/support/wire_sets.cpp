#include "support/wire_sets.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace fuzzing {

platform::NameCodec wire_codec(std::uint8_t choice) {
  std::string error;
  std::optional<platform::NameCodec> codec = platform::NameCodec::open(wire_set(choice), error, "UTF-8");
  if (!codec) throw std::runtime_error(error);
  return std::move(*codec);
}

const platform::NameCodec& kept_wire_codec(std::uint8_t choice) {
  static std::optional<platform::NameCodec> kept[kWireSetCount];
  std::optional<platform::NameCodec>& codec = kept[choice % kWireSetCount];
  if (!codec) codec = wire_codec(choice);
  return *codec;
}

}  // namespace fuzzing
