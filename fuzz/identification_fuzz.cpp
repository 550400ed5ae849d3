// The identification: the frame alone (is_identification_frame,
// get_sys_data), the service waiting for a customer's (identify 's'), the
// customer reaching a service (reach_service, its three tries and the
// sign-off between them), and a frame taken for a newcomer's
// (lone_identification).
//
// Input: a mode byte (modulo 4: 0 the frame alone, 1 the service, 2 the
// customer, 3 a newcomer's frame), then for the frame alone its six bytes,
// else the far end's script (support/scripted_line.h).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/support/check.h"
#include "fuzz/support/scripted_line.h"
#include "session/session.h"
#include "wire/identification.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;

namespace {

enum Mode { frame_alone, service, customer, newcomer };

bool terminated(const char (&field)[20]) { return std::memchr(field, '\0', sizeof field) != nullptr; }

bool decoded(const ID& id) { return terminated(id.os) && terminated(id.cpu) && terminated(id.os_ver); }

ID unwritten() {
  ID id;
  std::memset(&id, 0xEE, sizeof id);
  return id;
}

bool same(const ID& a, const ID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The service's answer: ACK, and its own identification frame.
Bytes service_answer() {
  UBYTE codes[kIdentificationBytes];
  build_own_frame(codes);
  return Bytes{ACK, STX, codes[0], codes[1], codes[2], calc_LPC(codes, kIdentificationBytes), ETX};
}

// Whether an identification frame with the right check byte ends at `end`.
bool intact_frame_ends(const Bytes& bytes, std::size_t end) {
  if (end < kIdentificationFrameBytes || end > bytes.size()) return false;
  const UBYTE* frame = bytes.data() + end - kIdentificationFrameBytes;
  return calc_LPC(frame + 1, kIdentificationBytes) == frame[kIdentificationBytes + 1];
}

bool begins(const Bytes& whole, const Bytes& part) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A frame the tables accept names a known system, and every frame decodes
// into terminated fields.
void frame_alone_input(const std::uint8_t* data, std::size_t size) {
  std::vector<UBYTE> wire(kIdentificationFrameBytes, 0);  // exactly six: a read beyond them is caught
  std::copy_n(data, std::min(size, wire.size()), wire.begin());
  const bool accepted = is_identification_frame(wire.data());
  std::vector<UBYTE> codes(wire.begin() + 1, wire.begin() + 1 + kIdentificationBytes);
  ID id = unwritten();
  get_sys_data(&id, codes.data());
  FUZZ_CHECK(decoded(id));
  if (accepted) FUZZ_CHECK(std::strcmp(id.os, "Unknown") != 0);
}

// The service answers an intact frame with ACK and its own frame, and
// nothing else; without one it waits, silent, until it is stopped or the
// line is lost.
void service_input(const std::uint8_t* script, std::size_t size) {
  ScriptedLink ends(script, size);
  Identities ids;
  ids.customer = unwritten();
  const Result<> result = identify(ends.link, Side::service, ids);
  const Bytes& taken = ends.peer.taken();
  if (!result) {
    FUZZ_CHECK(result.error().status == Status::timed_out && (ends.link.cancelled() || ends.link.lost()) &&
               ends.peer.written().empty());
    return;
  }
  // The frame taken last, before the answer to the service's own frame, if one came.
  FUZZ_CHECK(intact_frame_ends(taken, taken.size()) || intact_frame_ends(taken, taken.size() - 1));
  // A customer that hung up meanwhile gets what was written before.
  const Bytes& written = ends.peer.written();
  FUZZ_CHECK(ends.link.lost() ? begins(service_answer(), written) : written == service_answer());
  FUZZ_CHECK(decoded(ids.customer) && decoded(ids.service));
}

// The customer takes the service's identity only from an answer that came
// intact.
void customer_input(const std::uint8_t* script, std::size_t size) {
  ScriptedLink ends(script, size);
  session::Session session(ends.link);
  const ID before = session.ids().service;
  const session::Result<> reached = session.reach_service();
  FUZZ_CHECK(reached || reached.error().kind == session::Kind::no_service);
  if (reached) {
    FUZZ_CHECK(decoded(session.ids().service));
  } else {
    FUZZ_CHECK(same(session.ids().service, before));
  }
}

void newcomer_input(const std::uint8_t* script, std::size_t size) {
  ScriptedLink ends(script, size);
  std::vector<UBYTE> wire(kIdentificationFrameBytes, 0);
  if (!receive_bytes(ends.link, wire.data(), static_cast<std::uint32_t>(wire.size()))) return;
  if (lone_identification(ends.link, wire.data())) FUZZ_CHECK(is_identification_frame(wire.data()));
}

}  // namespace

int identification_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  switch (static_cast<Mode>(data[0] % 4)) {
    case frame_alone:
      frame_alone_input(data + 1, size - 1);
      break;
    case service:
      service_input(data + 1, size - 1);
      break;
    case customer:
      customer_input(data + 1, size - 1);
      break;
    case newcomer:
      newcomer_input(data + 1, size - 1);
      break;
  }
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::identification_input(data, size);
}
