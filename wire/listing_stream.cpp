#include "wire/listing_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/file_system.h"
#include "wire/link.h"

namespace quorvantix::wire {

namespace {

// A listing line and its NUL always fit this buffer.
constexpr int kListingFrameBytes = 50;
constexpr int kTypeFieldColumns = 4;
constexpr int kNameFieldColumns = 30;
constexpr int kSizeFieldColumns = 10;
constexpr int kSendsPerListingFrame = 2;
constexpr int kFailedListingFramesLimit = 5;
constexpr char kEndMarker[kListingLineBytes + 1] = "END                                          ";
static_assert(kLongestListedName == kListingFrameBytes - 1 - kTypeFieldColumns - kSizeFieldColumns,
              "the sender writes a name up to the room its frame buffer leaves beside the size");
static_assert(sizeof kEndMarker == kListingLineBytes + 1, "the end marker fills a listing frame");

const char* listing_type_word(host::ObjectType type) {
  return type == host::ObjectType::plain_file ? "FILE" : "DIR ";
}

// "%s%-30s%10ld": type word, name in 30 columns, size in 10. A name too long
// for the line is cut so that the line and its NUL stay within the frame.
void format_listing_line(char* frame, const host::ExamineData& entry) {
  char size_text[24];
  std::snprintf(size_text, sizeof size_text, "%*lld", kSizeFieldColumns, static_cast<long long>(entry.file_size));
  const int name_room = kListingFrameBytes - 1 - kTypeFieldColumns - static_cast<int>(std::strlen(size_text));
  const int name_length = std::min(static_cast<int>(std::strlen(entry.name)), name_room);
  std::snprintf(frame, kListingFrameBytes, "%s%-*.*s%s", listing_type_word(entry.type),
                std::min(kNameFieldColumns, name_room), name_length, entry.name, size_text);
}

// Each listing frame is tried twice at most.
bool send_listing_frame(Link& link, const char* frame) {
  for (int attempt = 0; attempt < kSendsPerListingFrame; ++attempt) {
    if (send_data(link, frame, kListingLineBytes)) return true;
  }
  return false;
}

// The end marker with a check byte that is not its own: a reader takes any
// frame that begins with "END" for the end of the listing, acknowledges it,
// and reports a damaged one as a listing that failed.
void send_failed_end_marker(Link& link) {
  const auto* marker = reinterpret_cast<const UBYTE*>(kEndMarker);
  UBYTE wire[frame_bytes(kListingLineBytes)] = {STX};
  std::memcpy(wire + 1, marker, kListingLineBytes);
  wire[kListingLineBytes + 1] = static_cast<UBYTE>(calc_LPC(marker, kListingLineBytes) ^ 0x01);
  wire[kListingLineBytes + 2] = ETX;
  UBYTE answer = 0;
  if (write_bytes(link, wire, sizeof wire)) receive_bytes(link, &answer, 1);
}

constexpr std::size_t kSizeField = kTypeFieldColumns + kNameFieldColumns;
// What listed_size gives when the line holds no size, and when the name went
// on past its 30 columns and pushed the size out of the frame.
constexpr std::int64_t kNoListedSize = -1;
constexpr std::int64_t kNameBeyondField = -2;

// Whether a listing line that fills its frame holds the start of a longer
// name. A name longer than its 30 columns pushes the size right, and the
// frame cuts it; but so does a size longer than its 10 columns after a short
// name. A short name is padded with spaces to the end of its field, and such
// a size has no space in it.
bool name_goes_on(const char* frame) {
  const bool padded = frame[kSizeField - 1] == ' ';
  const bool spaceless_tail = std::memchr(frame + kSizeField, ' ', kListingLineBytes - kSizeField) == nullptr;
  return !(padded && spaceless_tail);
}

// The size field of a listing line, for displays that show it. It stands in
// its place, after the name's 30 columns, only when the line ended inside the
// frame: a longer name pushes it right, and the frame cuts its digits. A
// field that holds anything but a size (a sign, letters, more digits than
// its columns) gives none.
std::int64_t listed_size(const char* frame) {
  const std::size_t length = strnlen(frame, kListingLineBytes);
  if (length == static_cast<std::size_t>(kListingLineBytes) && name_goes_on(frame)) return kNameBeyondField;
  if (length <= kSizeField) return kNoListedSize;
  std::size_t digits = kSizeField;
  while (digits < length && frame[digits] == ' ') ++digits;
  if (digits == length || length - digits > static_cast<std::size_t>(kSizeFieldColumns)) return kNoListedSize;
  for (std::size_t at = digits; at < length; ++at) {
    if (frame[at] < '0' || frame[at] > '9') return kNoListedSize;
  }
  return std::strtoll(frame + digits, nullptr, 10);
}

// The part of a filled line past the name's 30 columns (`tail`, 11 bytes):
// the rest of the name, then the start of the size text that the name pushed
// right, which is spaces and then digits (a size below 10 digits always
// begins with a space). The rest of the name is the shortest start of the
// tail after which such a text, or nothing, follows.
std::size_t name_rest_length(std::string_view tail) {
  for (std::size_t rest = 1; rest < tail.size(); ++rest) {
    const std::string_view size_text = tail.substr(rest);
    const std::size_t digits = size_text.find_first_not_of(' ');
    if (digits == 0) continue;
    if (digits == std::string_view::npos) return rest;
    if (size_text.find_first_not_of("0123456789", digits) == std::string_view::npos) return rest;
  }
  return tail.size();
}

// A line whose name went on past its 30 columns: the name as far as the
// frame carries it, and whether it may go on further. Our service writes up
// to kLongestListedName bytes of a name before its size; a peer that formats
// the whole line and sends its first 45 bytes writes more. A name that fills
// what the frame has room for, or that reaches our service's most, may be
// the start of a longer one. The size is known when all its 10 columns came.
Entry long_name_entry(const char* frame) {
  Entry entry;
  entry.type = std::strncmp(frame, "DIR", 3) == 0 ? EntryType::folder : EntryType::file;
  const std::string_view tail(frame + kSizeField, kListingLineBytes - kSizeField);
  const std::size_t rest = name_rest_length(tail);
  entry.name.assign(frame + kTypeFieldColumns, kNameFieldColumns + rest);
  entry.cut = rest == tail.size() || entry.name.size() == kLongestListedName;
  const std::string_view size_text = tail.substr(rest);
  const bool whole_size = size_text.size() == static_cast<std::size_t>(kSizeFieldColumns) && size_text.back() != ' ';
  entry.size = whole_size ? std::strtoll(std::string(size_text).c_str(), nullptr, 10) : kNoListedSize;
  return entry;
}

// One listing line as an entry; a whole name is padded with spaces, which are cut.
Entry listed_entry(const char* frame) {
  const std::int64_t size = listed_size(frame);
  if (size == kNameBeyondField) return long_name_entry(frame);
  const char* field = frame + kTypeFieldColumns;
  Entry entry;
  entry.type = std::strncmp(frame, "DIR", 3) == 0 ? EntryType::folder : EntryType::file;
  entry.name.assign(field, strnlen(field, kNameFieldColumns));
  entry.size = size;
  entry.name.erase(entry.name.find_last_not_of(' ') + 1);
  return entry;
}

}  // namespace

Result<> send_akt_dir(Link& link, const host::FileSystem& tree) {
  // A folder that cannot be read (it may have been removed meanwhile) is a
  // listing that failed at both ends: the reader waits for the end marker,
  // and must not wait in vain, nor take an empty listing for the folder's.
  const std::unique_ptr<host::EntryScan> scan = tree.scan_current();
  if (!scan) {
    send_failed_end_marker(link);
    return fail(Status::listing_unreadable, "the folder cannot be read");
  }
  char frame[kListingFrameBytes] = {};
  host::ExamineData entry;
  while (scan->next(entry)) {
    format_listing_line(frame, entry);
    // A line that fails twice ends the listing; the end marker still follows.
    if (!send_listing_frame(link, frame)) break;
  }
  if (!send_listing_frame(link, kEndMarker)) {
    return fail(Status::listing_end_not_acked, "the end of the listing was not acknowledged");
  }
  return {};
}

Result<> receive_akt_dir(Link& link, std::vector<Entry>& entries, std::size_t most_lines) {
  char frame[kListingFrameBytes] = {};
  auto* payload = reinterpret_cast<UBYTE*>(frame);
  int failed_in_a_row = 0;
  std::size_t lines = 0;
  for (;;) {
    const Result<> got = receive_data(link, payload, kListingLineBytes);
    const bool timed_out = !got && got.error().status == Status::timed_out;
    // An end marker ends the listing even when damaged: nothing follows it.
    if (!timed_out && std::strncmp(frame, "END", 3) == 0) {
      send_ACK(link);
      if (!got) return fail(Status::listing_end_damaged, "the end of the listing came damaged");
      return {};
    }
    if (!got) {
      send_NAK(link);
      // A sender that has gone away would otherwise keep us here for ever.
      if (++failed_in_a_row == kFailedListingFramesLimit) {
        return fail(Status::listing_end_damaged, "the listing broke off after repeated failures on the line");
      }
      continue;
    }
    failed_in_a_row = 0;
    if (lines == most_lines) {
      return fail(Status::listing_no_memory, "the listing goes on past " + std::to_string(most_lines) + " lines");
    }
    entries.push_back(listed_entry(frame));
    ++lines;
    send_ACK(link);
  }
}


void strip_str(char* str) {
  std::size_t length = std::strlen(str);
  while (length > 0 && str[length - 1] == ' ') --length;
  str[length] = '\0';
}

}  // namespace quorvantix::wire
