#include "wire/file_stream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/file_system.h"
#include "wire/block_runs.h"
#include "wire/identification.h"
#include "wire/link.h"

namespace quorvantix::wire {

namespace {

constexpr char kRefusal[] = "-";
constexpr long kRefusalBytes = 1;
constexpr std::int64_t kRoomMarginBytes = 1024;  // a volume is never filled to its last kilobyte
constexpr long kLargestBlockCount = INT32_MAX;   // the header's numbers are 32-bit

// --- Display ---

// The progress text of the running transfer, as the gadget shows it.
constexpr std::size_t kProgressTextBytes = 35;

void show_blocks(Gadget* gad, int done, int all, std::int64_t total_bytes) {
  if (gad == nullptr) return;
  char progr[kProgressTextBytes];
  std::snprintf(progr, sizeof progr, "%5d/%5d", done, all);
  gad->set_text(progr, TransferProgress{std::int64_t{done} * kBlockBytes, total_bytes, false});
}

// The figure is taken on a clock finer than whole seconds, so that a quick
// transfer neither divides by zero nor shows its size as its rate.
void show_throughput(const Link& link, Gadget* gad, std::int64_t bytes, std::chrono::nanoseconds start) {
  if (gad == nullptr) return;
  using std::chrono::microseconds;
  const auto elapsed =
      std::max<std::int64_t>(1, std::chrono::duration_cast<microseconds>(link.now() - start).count());
  const long long per_second = bytes * 1'000'000 / elapsed;
  char progr[kProgressTextBytes];
  std::snprintf(progr, sizeof progr, "%lld Bytes/s", per_second);
  gad->set_text(progr, TransferProgress{bytes, bytes, true});
  gad->pause_after_final();
}

// --- Watching the line between frames ---
//
// Frames carry no sequence number: when our ACK of a block is lost or garbled,
// the sender sends that block again, and a receiver that takes it for the next
// block stores it twice and reports success for a wrong file. A byte that a
// fault adds to a frame, or takes from it, puts every later frame off by that
// much. Neither needs a byte more on the wire: between frames both ends watch
// the line themselves (the link layer reads the frames), to learn when a frame
// began and where the next one will begin.

using std::chrono::nanoseconds;

nanoseconds quiet_wait_cap(const Link& link) { return share_of_limit(link, timing::kQuietWaitCap); }

// Drops what arrives until `deadline`.
void drop_input_until(Link& link, nanoseconds deadline) {
  const nanoseconds left = deadline - link.now();
  if (left > nanoseconds::zero()) link.drop_input_until_quiet(left, left);
}

// --- Sending a file ---

// Counts one failure of the transfer; false when it is the fifth.
bool count_failure(int& retry) {
  if (retry == kMaxRetries) return false;
  ++retry;
  return true;
}

// Before a repeat our sender keeps quiet for a while, dropping whatever
// arrives, so that the answer it reads next is the answer to the repeat, and
// so that the repeat begins where the receiver looks for one: a time limit
// after the frame it repeats ended, and a little more. A wrong answer byte to
// a block (a garbled ACK, a stray byte) counts as no answer: the receiver may
// have stored the block, and tells the repeat by its time. A short block
// refused with NAK was not stored; the receiver waits for quiet, then reads
// it again.
void keep_quiet_before_repeat(Link& link, Status failure, long len) {
  const bool refused = failure == Status::frame_not_acked;
  if (refused && len != kBlockBytes) {
    link.drop_input_until_quiet(share_of_limit(link, timing::kRefusedPause), quiet_wait_cap(link));
    return;
  }
  if (refused) drop_input_until(link, link.sent_until() + time_limit(link));
  link.drop_input_until_quiet(share_of_limit(link, timing::kRepeatPause), quiet_wait_cap(link));
}

// Whether a wrong answer that began with STX is the identification frame of a
// customer that has come anew (the one we were sending to has gone): the
// frame is handed back to the line for the command loop to answer.
bool newcomer_instead_of_answer(Link& link, UBYTE answer) {
  UBYTE wire[frame_bytes(kIdentificationBytes)] = {answer};
  if (answer != STX || !receive_bytes(link, wire + 1, sizeof wire - 1)) return false;
  if (!lone_identification(link, wire)) return false;
  link.put_back(wire, sizeof wire);
  return true;
}

// Sends one frame of the transfer again and again until it is acknowledged.
// A frame that had to be repeated may draw two answers: a late one to the
// first copy, taken for the answer to the repeat, and the repeat's own, right
// behind it. The line is left to go quiet before the next frame, so that the
// second is not taken for the next frame's answer and the sender does not run
// a frame ahead. Not after the last frame: the receiver is done with it and
// may go on at once. False on the transfer's fifth failure, and when a new
// customer has come instead of an answer.
bool send_with_repeats(Link& link, const char* data, long len, int& retry, bool last) {
  bool repeated = false;
  UBYTE answer = 0;
  for (Result<> sent; !(sent = send_frame(link, data, len, answer)); repeated = true) {
    const Status failure = sent.error().status;
    if (failure == Status::frame_not_acked && newcomer_instead_of_answer(link, answer)) return false;
    if (!count_failure(retry)) return false;
    if (link.cancelled()) continue;
    keep_quiet_before_repeat(link, failure, len);
  }
  if (repeated && !last) link.drop_input_until_quiet(frame_gap(link), quiet_wait_cap(link));
  return true;
}

// Only a plain file of a size the header can state is announced: anything
// else would leave the peer with a junk file, and opening a FIFO would block.
Result<> examine_for_sending(const host::FileSystem& tree, const char* local, host::ExamineData& examined) {
  const std::unique_ptr<host::HeldObject> lock = tree.hold(local);
  const std::string what = std::string(local) + ": ";
  // A file we may not read is refused before it is announced, not after the
  // peer has made room for it.
  if (!lock || !lock->may_read()) return fail(Status::no_such_object, what + "no such file, or not readable");
  if (!lock->examine(examined) || examined.type != host::ObjectType::plain_file) {
    return fail(Status::not_a_plain_file, what + "no plain file");
  }
  if (examined.file_size / kBlockBytes > kLargestBlockCount) {
    return fail(Status::not_a_plain_file, what + "too large for a file header");
  }
  return {};
}

// The header text "%s %d %d", the name in wire form. The name is coded in a
// copy: coding it back in place would turn a 0xAE of the name into a space.
// Only the first 60 bytes of the text travel, so a longer name is cut there.
void format_header(char* data, const char* wire_name, int blocks, int rest) {
  char wire[kHeaderBytes + 1];
  std::snprintf(wire, sizeof wire, "%s", wire_name);
  code_name(wire, NameCoding::to_wire);
  std::snprintf(data, kBlockBytes + 1, "%s %d %d", wire, blocks, rest);
}

host::Failure<Error> read_failed() {
  return fail(Status::read_failed, "the file cannot be read, or yields fewer bytes than announced");
}

host::Failure<Error> too_many_failures() {
  return fail(Status::too_many_failures, "the transfer broke off after repeated failures on the line");
}

// Reads and sends the blocks and the short block. A file that yields fewer
// bytes than announced has shrunk under us; its tail is not invented.
Result<> send_contents(Link& link, host::FileReader& file, char* data, int blocks, int rest, Gadget* gad) {
  BlockSource source(file);
  const std::int64_t total = std::int64_t{blocks} * kBlockBytes + rest;
  int retry = 0;
  for (int done = 1; done <= blocks; ++done) {
    if (!source.take(data, kBlockBytes)) return read_failed();
    const bool last = done == blocks && rest == 0;
    if (!send_with_repeats(link, data, kBlockBytes, retry, last)) return too_many_failures();
    show_blocks(gad, done, blocks, total);
  }
  if (rest == 0) return {};
  if (!source.take(data, static_cast<std::size_t>(rest))) return read_failed();
  if (!send_with_repeats(link, data, rest, retry, true)) return too_many_failures();
  return {};
}

// --- Receiving a file ---

host::Failure<Error> refuse(Link& link, Status status, std::string reason) {
  send_NAK(link);
  return fail(status, std::move(reason));
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

// Judged on the volume of the folder the file lands in (`folder`), by what it
// has free for us. A read-only tree is write-protected throughout. A folder
// that is not there is a file that cannot be created, unless the current
// folder itself has gone.
Result<> check_room(const host::FileSystem& tree, const host::HeldObject* folder, std::int64_t size) {
  if (tree.read_only()) return fail(Status::write_protected, "the tree is read-only");
  if (folder == nullptr && tree.hold("")) return fail(Status::create_failed, "the name leads into no folder");
  if (folder == nullptr) return fail(Status::no_current_folder, "the current folder has gone");
  host::VolumeInfo info;
  if (!folder->volume_info(info)) return fail(Status::no_volume_info, "the volume cannot be examined");
  if (info.write_protected) return fail(Status::write_protected, "the volume is write-protected");
  if (info.bytes_free - size < kRoomMarginBytes) return fail(Status::no_room, "the volume has no room for the file");
  return {};
}

// When a frame began to arrive and when it had arrived whole.
struct FrameTimes {
  nanoseconds began{};
  nanoseconds ended{};
};

// What the receiving end knows of the line since the frame it acknowledged last.
struct SinceAck {
  FrameTimes frame;       // that frame's
  bool silent = true;     // not a byte has arrived since
  int silent_limits = 0;  // runs into the time limit meanwhile
};

SinceAck acknowledged(FrameTimes frame) { return SinceAck{frame, true, 0}; }

enum class Received { fresh, repeat, newcomer, failed };

// Whether a block that began at `began` began where a sender's repeat of the
// block acknowledged last can begin: a time limit after the sender's write of
// it ended, plus a poll step and the line's slack. A sender behind a paced
// port ends its write when the block has arrived; one in front of a line
// that takes bytes at once (a pty, a socket) counts the block's wire time at
// the line's speed from its first byte. On a paced line the two are one.
bool in_repeat_window(const Link& link, nanoseconds began, const FrameTimes& acknowledged_frame) {
  const auto window_from = [&](nanoseconds write_ended) {
    const nanoseconds after = began - write_ended;
    return after >= share_of_limit(link, timing::kRepeatWindowStart) &&
           after <= share_of_limit(link, timing::kRepeatWindowEnd);
  };
  return window_from(acknowledged_frame.ended) ||
         window_from(acknowledged_frame.began + wire_time(link, frame_bytes(kBlockBytes)));
}

// Whether an intact block that began at `began` is the sender's repeat of the
// block acknowledged last (`last_block`; null when there is none), sent after
// our ACK was lost or garbled: equal to it, after silence, and begun in the
// repeat window. An equal block sooner or later than that is the next block
// (a file of equal blocks, read from a slow disk).
bool is_repeat(const Link& link, nanoseconds began, const SinceAck& since_ack, const UBYTE* data,
               const UBYTE* last_block) {
  return last_block != nullptr && since_ack.silent && in_repeat_window(link, began, since_ack.frame) &&
         std::memcmp(data, last_block, kBlockBytes) == 0;
}

enum class FrameRead { intact, damaged, timed_out, newcomer };

// Reads a frame of `len` payload bytes whose first byte has come. Beyond the
// check byte, a frame must begin with STX and end with ETX: a read that a
// byte added or lost has put out of step shows there. A lone identification
// frame where a longer frame was expected is a customer that has come anew
// (ours has gone): it is handed back to the line for the command loop.
FrameRead read_transfer_frame(Link& link, UBYTE* data, long len) {
  UBYTE wire[frame_bytes(kBlockBytes)] = {};
  const auto length = static_cast<std::uint32_t>(frame_bytes(len));
  const auto head = std::min(length, static_cast<std::uint32_t>(frame_bytes(kIdentificationBytes)));
  if (!receive_bytes(link, wire, head)) return FrameRead::timed_out;
  // A short block of three bytes cannot be told from an identification.
  if (length > head && lone_identification(link, wire)) {
    link.put_back(wire, head);
    return FrameRead::newcomer;
  }
  if (!receive_bytes(link, wire + head, length - head)) return FrameRead::timed_out;
  bool framed = false;
  return unpack_frame(wire, data, len, framed).ok() && framed ? FrameRead::intact : FrameRead::damaged;
}

// The latest moment at which a sender's repeat of a frame that began and
// ended at `frame` begins.
nanoseconds latest_repeat(const Link& link, const FrameTimes& frame, long len) {
  const nanoseconds write_ended = std::max(frame.ended, frame.began + wire_time(link, frame_bytes(len)));
  return write_ended + share_of_limit(link, timing::kRepeatWindowEnd);
}

// Receives one frame of the transfer until it arrives intact. A frame's time
// limit runs from its first byte, so that a repeat that begins within our
// wait is taken whole. The sender's repeat of the block acknowledged last
// (is_repeat) counts as one failure, as at the sender, and the silent waits
// for it do not. After a damaged frame the line is left to go quiet, so that
// the next read starts where the sender's next frame starts; a damaged block
// frame is left unanswered (the sender repeats it after its time limit, and
// the wait for that repeat is no failure of its own), a damaged short block
// is refused at once. `failed` on the fifth failure. `times` gives when the
// frame taken began and ended.
Received receive_transfer_frame(Link& link, UBYTE* data, long len, int& retry, const UBYTE* last_block,
                               SinceAck& since_ack, FrameTimes& times) {
  const bool short_block = len != kBlockBytes;
  nanoseconds deadline = link.now() + time_limit(link);
  for (;;) {
    const std::optional<nanoseconds> began = link.first_byte_within(deadline - link.now());
    if (!began) {
      ++since_ack.silent_limits;
      deadline = link.now() + time_limit(link);
    } else {
      const FrameRead read = read_transfer_frame(link, data, len);
      times = FrameTimes{*began, link.now()};
      if (read == FrameRead::newcomer) return Received::newcomer;
      if (read == FrameRead::intact) {
        if (!is_repeat(link, *began, since_ack, data, last_block)) return Received::fresh;
        retry -= std::min(retry, since_ack.silent_limits);
        return count_failure(retry) ? Received::repeat : Received::failed;
      }
      since_ack.silent = false;
      if (read == FrameRead::damaged) link.drop_input_until_quiet(frame_gap(link), quiet_wait_cap(link));
      deadline = std::max(link.now() + time_limit(link), latest_repeat(link, times, len));
    }
    if (!count_failure(retry)) return Received::failed;
    if (short_block) send_NAK(link);
  }
}

// A transfer that ended without a result for the sender: it failed, and the
// sender hears so (NAK), unless the sender has gone and a new customer's
// identification waits for the command loop, which must get no stray NAK.
host::Failure<Error> give_up_receiving(Link& link, Received arrival) {
  if (arrival != Received::newcomer) send_NAK(link);
  return too_many_failures();
}

// Whether bytes follow what should be the sender's last frame before we have
// answered it. A sender waits for that answer; bytes that come meanwhile were
// sent before it, by a sender a frame ahead of us (it took a late answer for
// the answer to a later frame, after a stall held a frame in the line until
// its repeat came right behind it) or a frame longer than the one we read:
// either way some block is in the file twice or a wrong one. Looked at for a
// few byte times, once a transfer.
bool sender_is_ahead(Link& link) {
  const nanoseconds byte_times = wire_time(link, 3);
  if (!link.first_byte_within(std::max<nanoseconds>(byte_times, std::chrono::milliseconds(1)))) return false;
  link.drop_input_until_quiet(frame_gap(link), quiet_wait_cap(link));  // so that the next command starts clean
  return true;
}

host::Failure<Error> write_failed(Link& link) { return refuse(link, Status::write_failed, "the file cannot be written"); }

host::Failure<Error> sender_ahead(Link& link) {
  return refuse(link, Status::too_many_failures, "the sender ran a frame ahead of us");
}

// Acknowledges a frame that has been taken in. The last frame's ACK also
// says the file is in place, so the file is written out and committed before it.
Result<> acknowledge(Link& link, BlockSink& file, bool last) {
  if (last && !file.commit()) return write_failed(link);
  send_ACK(link);
  return {};
}

Result<> receive_contents(Link& link, host::FileWriter& replacement, UBYTE* data, const Header& header,
                      Gadget* gad) {
  BlockSink file(replacement);
  const long blocks = header.blocks;
  const long rest = header.rest;
  const std::int64_t total = std::int64_t{blocks} * kBlockBytes + rest;
  if (Result<> acked = acknowledge(link, file, blocks == 0 && rest == 0); !acked) return acked;
  SinceAck since_ack = acknowledged(FrameTimes{link.now(), link.now()});
  FrameTimes frame;
  UBYTE last_block[kBlockBytes];
  int retry = 0;
  for (long done = 1; done <= blocks;) {
    const Received arrival =
        receive_transfer_frame(link, data, kBlockBytes, retry, done > 1 ? last_block : nullptr, since_ack, frame);
    if (arrival == Received::failed || arrival == Received::newcomer) return give_up_receiving(link, arrival);
    if (arrival == Received::repeat) {
      send_ACK(link);  // once more; the block is stored already
      since_ack = acknowledged(frame);
      continue;
    }
    if (!file.put(data, kBlockBytes)) return write_failed(link);
    show_blocks(gad, static_cast<int>(done), static_cast<int>(blocks), total);
    const bool last = done == blocks && rest == 0;
    if (last && sender_is_ahead(link)) return sender_ahead(link);
    if (Result<> acked = acknowledge(link, file, last); !acked) return acked;
    since_ack = acknowledged(frame);
    std::memcpy(last_block, data, kBlockBytes);
    ++done;
  }
  if (rest == 0) return {};
  const Received arrival = receive_transfer_frame(link, data, rest, retry, nullptr, since_ack, frame);
  if (arrival == Received::failed || arrival == Received::newcomer) return give_up_receiving(link, arrival);
  if (!file.put(data, static_cast<std::size_t>(rest))) return write_failed(link);
  if (sender_is_ahead(link)) return sender_ahead(link);
  return acknowledge(link, file, true);
}

}  // namespace

Result<> send_file(Link& link, const host::FileSystem& tree, const char* name, Gadget* gad) {
  return send_file_as(link, tree, name, name, gad);
}

Result<> send_file_as(Link& link, const host::FileSystem& tree, const char* local, const char* wire_name,
                      Gadget* gad) {
  host::ExamineData examined;
  if (Result<> examined_ok = examine_for_sending(tree, local, examined); !examined_ok) {
    (void)send_data(link, kRefusal, kRefusalBytes);
    return examined_ok;
  }
  if (gad != nullptr) gad->set_file(wire_name, examined.file_size);
  const auto blocks = static_cast<int>(examined.file_size / kBlockBytes);
  const auto rest = static_cast<int>(examined.file_size % kBlockBytes);
  char data[kBlockBytes + 1] = {};
  format_header(data, wire_name, blocks, rest);
  if (!send_data(link, data, kHeaderBytes)) return fail(Status::header_not_acked, "the file header was refused");
  const auto start = link.now();
  {
    const std::unique_ptr<host::FileReader> file = tree.open_to_read(local, examined);
    if (!file) return fail(Status::open_failed, std::string(local) + ": changed since it was examined");
    if (Result<> sent = send_contents(link, *file, data, blocks, rest, gad); !sent) return sent;
  }
  show_throughput(link, gad, examined.file_size, start);
  return {};
}

Result<> receive_file(Link& link, const host::FileSystem& tree, Gadget* gad) {
  return receive_file_to(link, tree, gad, nullptr);
}

Result<> receive_file_to(Link& link, const host::FileSystem& tree, Gadget* gad, const char* target) {
  UBYTE data[kBlockBytes + 1] = {};
  if (!receive_data(link, data, kHeaderBytes)) return refuse(link, Status::header_damaged, "the file header came damaged");
  Header header;
  if (!parse_header(reinterpret_cast<const char*>(data), header)) {
    return refuse(link, Status::header_bad, "the file header makes no sense");
  }
  code_name(header.name, NameCoding::from_wire);
  const std::int64_t size = std::int64_t{header.blocks} * kBlockBytes + header.rest;
  if (gad != nullptr) gad->set_file(header.name, size);
  std::string name;
  const std::unique_ptr<host::HeldObject> folder =
      tree.hold_folder_of(target != nullptr ? target : header.name, name);
  if (Result<> room = check_room(tree, folder.get(), size); !room) {
    send_NAK(link);
    return room;
  }
  const auto start = link.now();
  {
    const std::unique_ptr<host::FileWriter> file = tree.replace(*folder, name);
    if (!file) return refuse(link, Status::create_failed, name + ": the file cannot be created");
    if (Result<> received = receive_contents(link, *file, data, header, gad); !received) return received;
  }
  show_throughput(link, gad, size, start);
  return {};
}

void code_name(char* name, NameCoding coding) {
  const bool to_wire = coding == NameCoding::to_wire;
  const char wanted = to_wire ? ' ' : static_cast<char>(kSpaceSubstitute);
  const char replacement = to_wire ? static_cast<char>(kSpaceSubstitute) : ' ';
  for (char* found = std::strchr(name, wanted); found != nullptr; found = std::strchr(found, wanted)) {
    *found = replacement;
  }
}

}  // namespace quorvantix::wire
