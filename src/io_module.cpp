#include "io_module.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs_module.h"
#include "io_atome.h"
#include "misc.h"
#include "platform/fs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRefusal[] = "-";
constexpr long kRefusalBytes = 1;
constexpr std::int64_t kRoomMarginBytes = 1024;  // a volume is never filled to its last kilobyte
constexpr long kLargestBlockCount = INT32_MAX;   // the header's numbers are 32-bit

// A listing line and its NUL always fit this buffer.
constexpr int kListingFrameBytes = 50;
constexpr int kTypeFieldColumns = 4;
constexpr int kNameFieldColumns = 30;
constexpr int kSizeFieldColumns = 10;
constexpr int kSendsPerListingFrame = 2;
constexpr int kFailedListingFramesLimit = 5;
constexpr char kEndMarker[kListingLineBytes + 1] = "END                                          ";
static_assert(sizeof kEndMarker == kListingLineBytes + 1, "the end marker fills a listing frame");

// --- Display ---

void show_blocks(Gadget* gad, int done, int all, std::int64_t total_bytes) {
  if (gad == nullptr) return;
  std::snprintf(progr, sizeof progr, "%5d/%5d", done, all);
  gad->set_text(progr, TransferProgress{std::int64_t{done} * kBlockBytes, total_bytes, false});
}

// The figure is taken on a clock finer than whole seconds, so that a quick
// transfer neither divides by zero nor shows its size as its rate.
void show_throughput(Gadget* gad, std::int64_t bytes, Clock::time_point start) {
  if (gad == nullptr) return;
  using std::chrono::microseconds;
  const auto elapsed = std::max<std::int64_t>(
      1, std::chrono::duration_cast<microseconds>(Clock::now() - start).count());
  const long long per_second = bytes * 1'000'000 / elapsed;
  std::snprintf(progr, sizeof progr, "%lld Bytes/s", per_second);
  gad->set_text(progr, TransferProgress{bytes, bytes, true});
  gad->pause_after_final();
}

// --- Sending a file ---

// Sends one frame of the transfer again and again until it is acknowledged.
// False on the transfer's fifth failure.
bool send_with_repeats(const char* data, long len, int& retry) {
  while (send_data(data, len) != LINK_OK) {
    if (retry == kMaxRetries) return false;
    ++retry;
  }
  return true;
}

// Only a plain file of a size the header can state is announced: anything
// else would leave the peer with a junk file, and opening a FIFO would block.
long examine_for_sending(const char* local, platform::ExamineData& examined) {
  const platform::FsLock lock = platform::FsLock::obtain(local);
  // A file we may not read is refused before it is announced, not after the
  // peer has made room for it.
  if (!lock || !platform::may_read(local)) return FILE_NO_LOCK;
  if (!lock.examine(examined)) return FILE_NO_EXAMINE;
  if (examined.type != platform::ObjectType::plain_file) return FILE_NO_EXAMINE;
  if (examined.file_size / kBlockBytes > kLargestBlockCount) return FILE_NO_EXAMINE;
  return FILE_OK;
}

// The header text "%s %d %d", the name in wire form. The name is coded in a
// copy: coding it back in place would turn a 0xAE of the name into a space.
// Only the first 60 bytes of the text travel, so a longer name is cut there.
void format_header(char* data, const char* wire_name, int blocks, int rest) {
  char wire[kHeaderBytes + 1];
  std::snprintf(wire, sizeof wire, "%s", wire_name);
  code_name(wire, 'i');
  std::snprintf(data, kBlockBytes + 1, "%s %d %d", wire, blocks, rest);
}

// Reads and sends the blocks and the short block. A file that yields fewer
// bytes than announced has shrunk under us; its tail is not invented.
long send_contents(platform::ReadFile& file, char* data, int blocks, int rest, Gadget* gad) {
  const std::int64_t total = std::int64_t{blocks} * kBlockBytes + rest;
  int retry = 0;
  for (int done = 1; done <= blocks; ++done) {
    if (file.read(data, kBlockBytes) != kBlockBytes) return FILE_READ_FAILED;
    if (!send_with_repeats(data, kBlockBytes, retry)) return FILE_TOO_MANY_FAILURES;
    show_blocks(gad, done, blocks, total);
  }
  if (rest == 0) return FILE_OK;
  if (file.read(data, static_cast<std::size_t>(rest)) != rest) return FILE_READ_FAILED;
  if (!send_with_repeats(data, rest, retry)) return FILE_TOO_MANY_FAILURES;
  return FILE_OK;
}

// --- Receiving a file ---

long refuse(long status) {
  send_NAK();
  return status;
}

struct Header {
  char name[kBlockBytes];
  long blocks;
  long rest;
};

// One decimal number after white space, as "%d" reads it; false when there is
// none or it does not fit.
bool parse_number(const char*& text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  text = end;
  return true;
}

// "%s %d %d": a name and two numbers that describe a file (blocks not
// negative, the rest within one block). Whatever follows is ignored.
bool parse_header(const char* text, Header& header) {
  int consumed = 0;
  if (std::sscanf(text, "%1023s%n", header.name, &consumed) != 1) return false;
  text += consumed;
  if (!parse_number(text, header.blocks) || !parse_number(text, header.rest)) return false;
  return header.blocks >= 0 && header.blocks <= kLargestBlockCount && header.rest >= 0 &&
         header.rest < kBlockBytes;
}

// Judged on the volume of the current directory, by what it has free for us.
long check_room(std::int64_t size) {
  char dname[kDirNameBytes + 1];
  get_akt_dir(dname);
  const platform::FsLock lock = platform::FsLock::obtain(dname);
  if (!lock) return FILE_NO_DIR_LOCK;
  platform::VolumeInfo info;
  if (!lock.volume_info(info)) return FILE_NO_INFO;
  if (info.write_protected) return FILE_WRITE_PROTECTED;
  if (info.bytes_free - size < kRoomMarginBytes) return FILE_NO_ROOM;
  return FILE_OK;
}

// Receives one frame of the transfer until it arrives intact. A damaged block
// frame is left unanswered (the sender repeats it after its time limit); a
// damaged short block is refused at once. False on the fifth failure.
bool receive_with_repeats(UBYTE* data, long len, int& retry, bool refuse_damaged) {
  while (receive_data(data, len) != LINK_OK) {
    if (retry == kMaxRetries) return false;
    ++retry;
    if (refuse_damaged) send_NAK();
  }
  return true;
}

// Acknowledges a frame that has been written. The last frame's ACK also
// says the file is in place, so the file is committed before it.
long acknowledge(platform::ReplacementFile& file, bool last) {
  if (last && !file.commit()) return refuse(FILE_WRITE_FAILED);
  send_ACK();
  return FILE_OK;
}

long receive_contents(platform::ReplacementFile& file, UBYTE* data, const Header& header, Gadget* gad) {
  const long blocks = header.blocks;
  const long rest = header.rest;
  const std::int64_t total = std::int64_t{blocks} * kBlockBytes + rest;
  if (acknowledge(file, blocks == 0 && rest == 0) != FILE_OK) return FILE_WRITE_FAILED;
  int retry = 0;
  for (long done = 1; done <= blocks; ++done) {
    if (!receive_with_repeats(data, kBlockBytes, retry, false)) return refuse(FILE_TOO_MANY_FAILURES);
    if (!file.write(data, kBlockBytes)) return refuse(FILE_WRITE_FAILED);
    show_blocks(gad, static_cast<int>(done), static_cast<int>(blocks), total);
    if (acknowledge(file, done == blocks && rest == 0) != FILE_OK) return FILE_WRITE_FAILED;
  }
  if (rest == 0) return FILE_OK;
  if (!receive_with_repeats(data, rest, retry, true)) return refuse(FILE_TOO_MANY_FAILURES);
  if (!file.write(data, static_cast<std::size_t>(rest))) return refuse(FILE_WRITE_FAILED);
  return acknowledge(file, true);
}

// --- The directory listing ---

const char* listing_type_word(platform::ObjectType type) {
  return type == platform::ObjectType::plain_file ? "FILE" : "DIR ";
}

// "%s%-30s%10ld": type word, name in 30 columns, size in 10. A name too long
// for the line is cut so that the line and its NUL stay within the frame.
void format_listing_line(char* frame, const platform::ExamineData& entry) {
  char size_text[24];
  std::snprintf(size_text, sizeof size_text, "%*lld", kSizeFieldColumns, static_cast<long long>(entry.file_size));
  const int name_room = kListingFrameBytes - 1 - kTypeFieldColumns - static_cast<int>(std::strlen(size_text));
  const int name_length = std::min(static_cast<int>(std::strlen(entry.name)), name_room);
  std::snprintf(frame, kListingFrameBytes, "%s%-*.*s%s", listing_type_word(entry.type),
                std::min(kNameFieldColumns, name_room), name_length, entry.name, size_text);
}

// Each listing frame is tried twice at most.
bool send_listing_frame(const char* frame) {
  for (int attempt = 0; attempt < kSendsPerListingFrame; ++attempt) {
    if (send_data(frame, kListingLineBytes) == LINK_OK) return true;
  }
  return false;
}

// The size field of a listing line, for displays that show it. It can be
// trusted only when the formatted line ended inside the frame: a name longer
// than its 30 columns pushes the field right, and the frame may cut its digits.
std::int64_t listed_size(const char* frame) {
  const std::size_t length = strnlen(frame, kListingLineBytes);
  if (length == static_cast<std::size_t>(kListingLineBytes)) return -1;
  std::size_t digits_start = length;
  while (digits_start > 0 && frame[digits_start - 1] >= '0' && frame[digits_start - 1] <= '9') --digits_start;
  if (digits_start == length || digits_start == 0 || frame[digits_start - 1] != ' ') return -1;
  return std::strtoll(frame + digits_start, nullptr, 10);
}

// Turns one listing line into a row at the tail of `list`; false when no row
// can be had.
bool append_listing_line(List* list, const char* frame) {
  const bool directory = std::strncmp(frame, "DIR", 3) == 0;
  const char* field = frame + kTypeFieldColumns;
  char name[kNameFieldColumns + 1];
  const std::size_t length = strnlen(field, kNameFieldColumns);
  std::memcpy(name, field, length);
  name[length] = '\0';
  Dir_Entry* row = alloc_list_row(name, directory ? "DIR" : "FILE");
  if (row == nullptr) return false;
  set_list_row_size(row, listed_size(frame));
  std::memcpy(row->entry, name, length + 1);
  row->node.ln_Type = 0;
  row->node.ln_Pri = directory ? 1 : 0;
  row->node.ln_Name = row->entry;
  AddTail(list, &row->node);
  return true;
}

}  // namespace

long send_file(const char* name, Gadget* gad) { return send_file_as(name, name, gad); }

long send_file_as(const char* local, const char* wire_name, Gadget* gad) {
  platform::ExamineData examined;
  const long refusal = examine_for_sending(local, examined);
  if (refusal != FILE_OK) {
    send_data(kRefusal, kRefusalBytes);
    return refusal;
  }
  const auto blocks = static_cast<int>(examined.file_size / kBlockBytes);
  const auto rest = static_cast<int>(examined.file_size % kBlockBytes);
  char data[kBlockBytes + 1] = {};
  format_header(data, wire_name, blocks, rest);
  if (send_data(data, kHeaderBytes) != LINK_OK) return FILE_HEADER_NOT_ACKED;
  const auto start = Clock::now();
  {
    platform::ReadFile file = platform::ReadFile::open(local, examined);
    if (!file) return FILE_OPEN_FAILED;
    const long status = send_contents(file, data, blocks, rest, gad);
    if (status != FILE_OK) return status;
  }
  show_throughput(gad, examined.file_size, start);
  return FILE_OK;
}

long receive_file(Gadget* gad) { return receive_file_to(gad, nullptr); }

long receive_file_to(Gadget* gad, const char* target) {
  UBYTE data[kBlockBytes + 1] = {};
  if (receive_data(data, kHeaderBytes) != LINK_OK) return refuse(FILE_HEADER_DAMAGED);
  Header header;
  if (!parse_header(reinterpret_cast<const char*>(data), header)) return refuse(FILE_HEADER_BAD);
  code_name(header.name, 'r');
  const std::int64_t size = std::int64_t{header.blocks} * kBlockBytes + header.rest;
  const long room = check_room(size);
  if (room != FILE_OK) return refuse(room);
  const auto start = Clock::now();
  {
    platform::ReplacementFile file = platform::ReplacementFile::create(target != nullptr ? target : header.name);
    if (!file) return refuse(FILE_CREATE_FAILED);
    const long status = receive_contents(file, data, header, gad);
    if (status != FILE_OK) return status;
  }
  show_throughput(gad, size, start);
  return FILE_OK;
}

long send_akt_dir() {
  const platform::FsLock lock = platform::FsLock::obtain("");
  if (!lock) return DIR_OK;
  platform::DirScan scan = platform::DirScan::start(lock);
  if (!scan) return DIR_NO_SCAN;
  char frame[kListingFrameBytes] = {};
  platform::ExamineData entry;
  while (scan.next(entry)) {
    format_listing_line(frame, entry);
    // A line that fails twice ends the listing; the end marker still follows.
    if (!send_listing_frame(frame)) break;
  }
  return send_listing_frame(kEndMarker) ? DIR_OK : DIR_END_NOT_ACKED;
}

long receive_akt_dir(List* list) {
  char frame[kListingFrameBytes] = {};
  auto* payload = reinterpret_cast<UBYTE*>(frame);
  int failed_in_a_row = 0;
  for (;;) {
    const long err = receive_data(payload, kListingLineBytes);
    // An end marker ends the listing even when damaged: nothing follows it.
    if (err != LINK_TIMEOUT && std::strncmp(frame, "END", 3) == 0) {
      send_ACK();
      return err == LINK_OK ? DIR_OK : DIR_END_DAMAGED;
    }
    if (err != LINK_OK) {
      send_NAK();
      // A sender that has gone away would otherwise keep us here for ever.
      if (++failed_in_a_row == kFailedListingFramesLimit) return DIR_END_DAMAGED;
      continue;
    }
    failed_in_a_row = 0;
    if (!append_listing_line(list, frame)) return DIR_NO_MEMORY;
    send_ACK();
  }
}
