// The character sets of names on the wire that the targets choose from:
// the default, bytes as they are, UTF-8, sets in which bytes above 127 turn
// into ASCII punctuation or several bytes make one character, and a set
// with shift states.
#pragma once

#include <cstdint>

#include "host/charset.h"

namespace quorvantix::fuzzing {

inline constexpr const char* kWireSets[] = {
    "ISO-8859-1", "raw", "UTF-8", "ISIRI-3342", "ARMSCII-8", "CP437", "GB18030", "ISO-2022-JP",
};
inline constexpr std::uint8_t kWireSetCount = sizeof kWireSets / sizeof kWireSets[0];

// The set that `choice` picks (modulo their number).
inline const char* wire_set(std::uint8_t choice) { return kWireSets[choice % kWireSetCount]; }

// Names between UTF-8 on the host and the set `choice` picks on the wire.
host::NameCodec wire_codec(std::uint8_t choice);
// The same, opened once a process.
const host::NameCodec& kept_wire_codec(std::uint8_t choice);

}  // namespace quorvantix::fuzzing
