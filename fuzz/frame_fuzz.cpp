// The link frame, both ways: a reader (receive_data, receive_framed_data)
// fed any bytes at any pace, unpack_frame on any frame, and a sender
// (send_frame) given any answer.
//
// Input: a reader byte (0 receive_data, 1 receive_framed_data, 2
// unpack_frame, 3 send_frame; modulo 4), the length the exchange expects
// (two bytes, low first, a signed number taken modulo 1101), then for the
// readers the far end's script (support/scripted_line.h), for unpack_frame
// the frame's bytes, and for send_frame the payload and then the script of
// the answers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz/support/check.h"
#include "fuzz/support/scripted_line.h"
#include "wire/link.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;

namespace {

constexpr UBYTE kUntouched = 0xEE;
constexpr UBYTE kNoAnswer = 0x66;  // what send_frame reports when none came

enum Reader { plain, framed, unpack, send };

bool fits(long len) { return len >= 0 && len <= kMaxPayload; }

bool untouched(const std::vector<UBYTE>& data, std::size_t from) {
  return std::all_of(data.begin() + static_cast<long>(from), data.end(), [](UBYTE b) { return b == kUntouched; });
}

// What every reader stores of a frame of `len` bytes that it took whole from `wire`.
void check_stored(const std::vector<UBYTE>& data, const UBYTE* wire, long len) {
  FUZZ_CHECK(std::equal(data.begin(), data.begin() + len, wire + 1));
  FUZZ_CHECK(data[static_cast<std::size_t>(len)] == 0);
  FUZZ_CHECK(untouched(data, static_cast<std::size_t>(len) + 1));
}

std::optional<Status> failure_of(const Result<>& result) {
  return result ? std::nullopt : std::optional(result.error().status);
}

bool intact(const UBYTE* wire, long len, bool must_be_framed) {
  const bool between_stx_and_etx = wire[0] == STX && wire[len + 2] == ETX;
  return calc_LPC(wire + 1, len) == wire[len + 1] && (between_stx_and_etx || !must_be_framed);
}

// A reader takes exactly one frame off the line, or nothing it keeps.
void read_from_line(Reader reader, long len, const std::uint8_t* script, std::size_t size) {
  ScriptedLink ends(script, size);
  std::vector<UBYTE> data(2 * kMaxPayload + 2, kUntouched);
  const Result<> got = reader == framed ? receive_framed_data(ends.link, data.data(), len)
                                        : receive_data(ends.link, data.data(), len);
  const std::optional<Status> result = failure_of(got);
  const Bytes& taken = ends.peer.taken();
  if (!fits(len)) {
    FUZZ_CHECK(result == Status::frame_damaged && taken.empty() && untouched(data, 0));
    return;
  }
  if (result == Status::timed_out) {
    FUZZ_CHECK(untouched(data, 0));
    return;
  }
  FUZZ_CHECK(!result || result == Status::frame_damaged);
  FUZZ_CHECK(taken.size() == static_cast<std::size_t>(frame_bytes(len)));
  check_stored(data, taken.data(), len);
  FUZZ_CHECK(got.ok() == intact(taken.data(), len, reader == framed));
}

void unpack_alone(long len, const std::uint8_t* bytes, std::size_t size) {
  len = std::clamp(len < 0 ? -len : len, 0L, kMaxPayload);
  // Exactly the frame's bytes, so that a read beyond them is caught.
  std::vector<UBYTE> wire(static_cast<std::size_t>(frame_bytes(len)), 0);
  std::copy_n(bytes, std::min(size, wire.size()), wire.begin());
  std::vector<UBYTE> data(2 * kMaxPayload + 2, kUntouched);
  bool was_framed = true;
  const Result<> result = unpack_frame(wire.data(), data.data(), len, was_framed);
  check_stored(data, wire.data(), len);
  FUZZ_CHECK(was_framed == (wire.front() == STX && wire.back() == ETX));
  FUZZ_CHECK(result.ok() == intact(wire.data(), len, false));
}

// The frame goes out as it is, once, and only ACK counts as an answer.
void send_one(long len, const std::uint8_t* bytes, std::size_t size) {
  const std::size_t payload_size = fits(len) ? std::min(size, static_cast<std::size_t>(len)) : 0;
  std::vector<char> payload(static_cast<std::size_t>(kMaxPayload), 0);
  std::copy_n(bytes, payload_size, payload.begin());
  ScriptedLink ends(bytes + payload_size, size - payload_size);
  UBYTE answer = 0;
  const std::optional<Status> result = failure_of(send_frame(ends.link, payload.data(), len, answer));
  const Bytes& written = ends.peer.written();
  const Bytes& taken = ends.peer.taken();
  if (!fits(len)) {
    FUZZ_CHECK(result == Status::frame_not_acked && written.empty() && answer == kNoAnswer);
    return;
  }
  Bytes frame{STX};
  frame.insert(frame.end(), payload.begin(), payload.begin() + len);
  frame.push_back(calc_LPC(frame.data() + 1, len));
  frame.push_back(ETX);
  if (result == Status::send_timed_out) {  // the peer hung up first
    FUZZ_CHECK(written.empty() && ends.link.lost());
    return;
  }
  FUZZ_CHECK(written == frame);
  if (result == Status::timed_out) {
    FUZZ_CHECK(taken.empty() && answer == kNoAnswer);
    return;
  }
  FUZZ_CHECK(taken.size() == 1 && answer == taken[0]);
  FUZZ_CHECK(result == (answer == ACK ? std::nullopt : std::optional(Status::frame_not_acked)));
}

}  // namespace

int frame_input(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const auto reader = static_cast<Reader>(data[0] % 4);
  const long len = static_cast<std::int16_t>(data[1] | data[2] << 8) % 1101;
  switch (reader) {
    case plain:
    case framed:
      read_from_line(reader, len, data + 3, size - 3);
      break;
    case unpack:
      unpack_alone(len, data + 3, size - 3);
      break;
    case send:
      send_one(len, data + 3, size - 3);
      break;
  }
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::frame_input(data, size);
}
