#include "wire/listing_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    if (send_data(link, frame, kListingLineBytes) == LINK_OK) return true;
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

// Turns one listing line into a row at the tail of `list`; false when no row
// can be had.
bool append_listing_line(List* list, const char* frame, RowMaker make_row) {
  const bool directory = std::strncmp(frame, "DIR", 3) == 0;
  const char* field = frame + kTypeFieldColumns;
  char name[kNameFieldColumns + 1];
  const std::size_t length = strnlen(field, kNameFieldColumns);
  std::memcpy(name, field, length);
  name[length] = '\0';
  Dir_Entry* row = make_row(name, directory ? "DIR" : "FILE");
  if (row == nullptr) return false;
  set_list_row_size(row, listed_size(frame));
  std::memcpy(row->entry, name, length + 1);
  add_list_row(list, row, directory);
  return true;
}

}  // namespace

long send_akt_dir(Link& link, const host::FileSystem& tree) {
  // A folder that cannot be read (it may have been removed meanwhile) is a
  // listing that failed at both ends: the reader waits for the end marker,
  // and must not wait in vain, nor take an empty listing for the folder's.
  const std::unique_ptr<host::EntryScan> scan = tree.scan_current();
  if (!scan) {
    send_failed_end_marker(link);
    return DIR_NO_SCAN;
  }
  char frame[kListingFrameBytes] = {};
  host::ExamineData entry;
  while (scan->next(entry)) {
    format_listing_line(frame, entry);
    // A line that fails twice ends the listing; the end marker still follows.
    if (!send_listing_frame(link, frame)) break;
  }
  return send_listing_frame(link, kEndMarker) ? DIR_OK : DIR_END_NOT_ACKED;
}

long receive_akt_dir(Link& link, List* list, RowMaker make_row, std::size_t most_lines) {
  char frame[kListingFrameBytes] = {};
  auto* payload = reinterpret_cast<UBYTE*>(frame);
  int failed_in_a_row = 0;
  std::size_t lines = 0;
  for (;;) {
    const long err = receive_data(link, payload, kListingLineBytes);
    // An end marker ends the listing even when damaged: nothing follows it.
    if (err != LINK_TIMEOUT && std::strncmp(frame, "END", 3) == 0) {
      send_ACK(link);
      return err == LINK_OK ? DIR_OK : DIR_END_DAMAGED;
    }
    if (err != LINK_OK) {
      send_NAK(link);
      // A sender that has gone away would otherwise keep us here for ever.
      if (++failed_in_a_row == kFailedListingFramesLimit) return DIR_END_DAMAGED;
      continue;
    }
    failed_in_a_row = 0;
    if (lines == most_lines || !append_listing_line(list, frame, make_row)) return DIR_NO_MEMORY;
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
