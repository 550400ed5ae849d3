// The customer reading a service's listing: the listing lines (type, name in
// 30 columns, size in 10, the end marker) into entries, their names from the
// wire's character set, and the entries as ls shows them (names, rows, JSON).
//
// Input: a settings byte (bits 0-2: the wire character set,
// support/wire_sets.h; bits 3-4: the style, names, rows, JSON or names
// without a terminal; bits 5-7: the terminal's width), then the service's
// script (support/scripted_line.h): the ACK of the command, the listing
// frames, whatever else.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "customer/listing_output.h"
#include "fuzz/support/check.h"
#include "fuzz/support/scripted_line.h"
#include "fuzz/support/text_checks.h"
#include "fuzz/support/wire_sets.h"
#include "host/charset.h"
#include "session/session.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

using customer::ListingStyle;
using session::RemoteEntry;

constexpr std::size_t kWidths[] = {0, 1, 12, 31, 40, 80, 132, 1000};

ListingStyle style_of(std::uint8_t settings) {
  const int style = (settings >> 3) & 3;
  return style == 1 ? ListingStyle::rows : style == 2 ? ListingStyle::json : ListingStyle::names;
}

std::size_t width_of(std::uint8_t settings) { return ((settings >> 3) & 3) == 3 ? 0 : kWidths[settings >> 5]; }

// No entry the listing did not carry, and each as it can be shown.
void check_entries(const std::vector<RemoteEntry>& entries, const Bytes& taken, bool names_converted) {
  FUZZ_CHECK(entries.size() <= taken.size() / frame_bytes(kListingLineBytes));
  for (const RemoteEntry& entry : entries) {
    FUZZ_CHECK(entry.size >= -1);
    FUZZ_CHECK(entry.name.find('\0') == std::string::npos);
    if (names_converted) FUZZ_CHECK(valid_utf8(entry.name));
  }
}

// JSON escapes what it must, the characters below U+0020; DEL and C1 it
// takes as they are.
void check_json(const std::string& json) {
  FUZZ_CHECK(std::none_of(json.begin(), json.end(), [](char c) { return c >= 0 && c < 0x20 && c != '\n'; }));
  FUZZ_CHECK(valid_utf8(json));
}

// What reaches the terminal obeys nothing.
void check_shown(const std::vector<RemoteEntry>& entries, std::uint8_t settings, bool utf8_host) {
  std::ostringstream out;
  customer::print_listing(entries, style_of(settings), width_of(settings), out);
  if (style_of(settings) == ListingStyle::json) {
    check_json(out.str());
    return;
  }
  FUZZ_CHECK(free_of_controls(out.str(), true));
  if (utf8_host) FUZZ_CHECK(valid_utf8(out.str()));
  check_json(customer::listing_json(entries));
}

}  // namespace

int listing_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ScriptedLink ends(data + 1, size - 1);
  session::Session session(ends.link);
  session.use_charset(wire_set(data[0]));
  std::vector<RemoteEntry> entries;
  (void)session.remote_list(entries);
  const bool utf8_host = host::host_charset() == "UTF-8";
  check_entries(entries, ends.peer.taken(), utf8_host && session.charset() != host::kRawCharset);
  check_shown(entries, data[0], utf8_host);
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::listing_input(data, size);
}
