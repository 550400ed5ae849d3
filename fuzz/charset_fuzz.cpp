// Names between the host's character set (UTF-8) and the wire's, both ways
// (host::NameCodec), in the sets of support/wire_sets.h, and names as
// every display shows them (host::shown_name).
//
// Input: a settings byte (bits 0-2: the wire character set; bit 3: the name
// is a host name going to the wire, else a wire name coming in), then the
// name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/support/check.h"
#include "fuzz/support/text_checks.h"
#include "fuzz/support/wire_sets.h"
#include "host/charset.h"

namespace quorvantix::fuzzing {
namespace {

constexpr std::uint8_t kToWire = 0x08;

// Sets in which every character has one form and every form one character,
// so that a name that converts whole converts back to itself.
bool one_to_one(const host::NameCodec& codec) {
  for (const char* set : {"ISO-8859-1", "UTF-8", "CP437"}) {
    if (codec.charset() == set) return true;
  }
  return codec.passes_bytes();
}

bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Whatever comes off the wire becomes a host name that can be shown, and
// that holds a NUL only where the wire name had one.
void from_wire(const host::NameCodec& codec, std::string_view wire) {
  std::string host;
  const bool whole = codec.to_host(wire, host);
  FUZZ_CHECK(holds_nul(host) <= holds_nul(wire));
  if (codec.passes_bytes()) FUZZ_CHECK(whole && host == wire);
  if (!codec.passes_bytes()) FUZZ_CHECK(valid_utf8(host));
  std::string back;
  if (whole && one_to_one(codec)) FUZZ_CHECK(codec.to_wire(host, back) && back == wire);
}

// A name for the wire holds a NUL only where the host name had one: the
// frames end their names there.
void to_wire(const host::NameCodec& codec, std::string_view host) {
  std::string wire;
  const bool whole = codec.to_wire(host, wire);
  if (!codec.passes_bytes() && whole) FUZZ_CHECK(valid_utf8(host));
  FUZZ_CHECK(holds_nul(wire) <= holds_nul(host));
  std::string back;
  if (whole && one_to_one(codec)) FUZZ_CHECK(codec.to_host(wire, back) && back == host);
}

// A name as it is shown obeys no terminal, stays on its line, and is text.
void shown(std::string_view name) {
  const std::string text = host::shown_name(name);
  FUZZ_CHECK(free_of_controls(text, false));
  if (host::host_charset() == "UTF-8") FUZZ_CHECK(valid_utf8(text));
}

}  // namespace

int charset_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const host::NameCodec& codec = kept_wire_codec(data[0]);
  const std::string_view name(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & kToWire) != 0) {
    to_wire(codec, name);
  } else {
    from_wire(codec, name);
  }
  shown(name);
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::charset_input(data, size);
}
