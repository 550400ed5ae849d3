#include "io_atome.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

using std::chrono::nanoseconds;

constexpr BOOL ADebug = 0;  // the link's debug lines; nothing turns them on
constexpr UBYTE kNoAnswerYet = 0x66;  // anything but ACK
constexpr int kTransferFailuresBeforeGivingUp = 5;  // a receiver's repeat rule

void debug_line(const char* text) {
  if (ADebug) std::printf("%s\n", text);
}

// Starts one transfer on the link's request, without waiting.
void start_transfer(Link& link, std::uint16_t command, void* data, std::uint32_t length) {
  IOExtSer& request = link.request();
  request.io_Command = command;
  request.io_Data = data;
  request.io_Length = length;
  link.send_io();
}

// Starts one transfer and waits for it within the time limit. Returns false
// on a time-out.
bool transfer(Link& link, std::uint16_t command, void* data, std::uint32_t length) {
  start_transfer(link, command, data, length);
  return checktimeout(link) == 0;
}

BOOL send_answer(Link& link, UBYTE answer) {
  return transfer(link, CMD_WRITE, &answer, 1) ? static_cast<BOOL>(LINK_OK) : static_cast<BOOL>(LINK_TIMEOUT);
}

bool payload_fits(long len) { return len >= 0 && len <= kMaxPayload; }

// receive_data, telling also whether the frame began with STX and ended with ETX.
long read_frame(Link& link, UBYTE* data, long len, bool& framed) {
  framed = false;
  if (!payload_fits(len)) return LINK_CHECK_ERROR;
  UBYTE reqdata[kMaxPayload + 3] = {};
  if (!receive_bytes(link, reqdata, static_cast<std::uint32_t>(len + 3))) return LINK_TIMEOUT;
  return unpack_frame(reqdata, data, len, framed);
}

}  // namespace

// --- Link ---

Link::Link(platform::Clock& clock, platform::LineOpener opener) : clock_(clock), opener_(std::move(opener)) {}

Link::~Link() = default;

bool Link::open_device(const char* device, long unit) {
  last_error_.clear();
  line_ = opener_(device, unit, last_error_);
  pending_ = false;
  return line_ != nullptr;
}

void Link::close_device() {
  line_.reset();
  pending_ = false;
}

bool Link::do_io() {
  if (request_.io_Command != SDCMD_SETPARAMS || !line_) return false;
  // Rate 0 hangs a line up; no rate below 1 is ever applied.
  if (request_.io_Baud < 1) {
    last_error_ = "line speed " + std::to_string(request_.io_Baud) + " is not a rate";
    return false;
  }
  return line_->set_speed(request_.io_Baud, last_error_);
}

void Link::send_io() {
  request_.io_Actual = 0;
  // Without a line the transfer ends at once, failed, as on a line that has gone.
  request_.io_Error = line_ ? 0 : IOERR_LINE_GONE;
  pending_ = line_ != nullptr;
}

platform::Direction Link::direction() const {
  return request_.io_Command == CMD_READ ? platform::Direction::in : platform::Direction::out;
}

// One attempt to move the rest of the transfer. A read ends when all its bytes
// are in. A write ends once it has moved bytes and they have left the port:
// the answer's time limit must not run while our own frame is still on the
// wire. A line that fails ends the transfer at once: waiting out the time
// limit on a line that has gone only keeps the next customer waiting.
void Link::advance() {
  const bool reading = request_.io_Command == CMD_READ;
  if (!reading && request_.io_Actual > 0) {
    pending_ = line_->output_queued() > 0;
    return;
  }
  auto* bytes = static_cast<std::uint8_t*>(request_.io_Data) + request_.io_Actual;
  const std::size_t left = request_.io_Length - request_.io_Actual;
  if (left == 0) {
    pending_ = false;
    return;
  }
  const long moved = reading ? line_->read_some(bytes, left) : line_->write_some(bytes, left);
  if (moved < 0) {
    request_.io_Error = IOERR_LINE_GONE;
    pending_ = false;
    return;
  }
  if (moved == 0) return;
  request_.io_Actual += static_cast<std::uint32_t>(moved);
  pending_ = reading ? request_.io_Actual < request_.io_Length : line_->output_queued() > 0;
}

bool Link::check_io() {
  if (pending_) advance();
  return !pending_;
}

void Link::abort_io() { pending_ = false; }

void Link::wait_io_ticks(int ticks) {
  waiting();
  const nanoseconds deadline = now() + ticks * tick();
  if (!line_) {
    clock_.sleep_for(deadline - now());
    return;
  }
  // The caller has just polled: wait first, then look (one read fewer a frame).
  while (pending_) {
    const nanoseconds left = deadline - now();
    if (left <= nanoseconds::zero()) return;
    line_->wait_ready(direction(), left);
    if (check_io()) return;
  }
}

bool Link::lost() const { return !line_ || line_->lost(); }

bool Link::take_next_peer() {
  if (!line_ || !line_->take_next_peer()) return false;
  pending_ = false;
  return true;
}

void Link::between_customers() {
  if (line_) line_->between_customers();
}

std::optional<nanoseconds> Link::first_byte_within(nanoseconds limit) {
  if (lost() || cancelled()) return std::nullopt;
  waiting();
  const nanoseconds deadline = now() + limit;
  line_->wait_ready(platform::Direction::in, limit);
  const nanoseconds arrived = now();
  if (arrived >= deadline || cancelled() || line_->lost()) return std::nullopt;
  return arrived;
}

bool Link::drop_input_until_quiet(nanoseconds quiet, nanoseconds limit) {
  UBYTE scrap[kMaxPayload];
  const nanoseconds deadline = now() + limit;
  nanoseconds quiet_since = now();
  for (nanoseconds at = quiet_since; at < deadline; at = now()) {
    if (lost() || cancelled()) return false;
    const long got = line_->read_some(scrap, sizeof scrap);
    if (got > 0) {
      quiet_since = now();
      continue;
    }
    if (got < 0) return false;
    if (at - quiet_since >= quiet) return true;
    waiting();
    line_->wait_ready(platform::Direction::in, std::min(quiet - (at - quiet_since), deadline - at));
  }
  return false;
}

void Link::drop_pending_input() {
  if (!line_) return;
  UBYTE scrap[kMaxPayload];
  while (line_->read_some(scrap, sizeof scrap) > 0) {
  }
}

// --- The port ---

long allocport(Link& link, long port, const char* device) {
  if (!link.open_device(device, port)) return PORT_OPEN_FAILED;
  debug_line("setbaudrate");
  return set_baud_rate(link, "9600");
}

long freeport(Link& link, long /*port*/) {
  if (!link.check_io()) link.abort_io();
  link.close_device();
  return 0;
}

long set_baud_rate(Link& link, const char* baud) {
  link.delay_ticks(kTicksBeforeParamChange);
  IOExtSer& request = link.request();
  const long before = request.io_Baud;
  request.io_Command = SDCMD_SETPARAMS;
  request.io_Baud = std::strtol(baud, nullptr, 10);
  if (link.do_io()) return PORT_OK;
  request.io_Baud = before;
  return PORT_PARAMS_FAILED;
}

BOOL checktimeout(Link& link) {
  for (int polls_left = kPollsPerOperation; !link.cancelled();) {
    if (link.check_io()) {
      debug_line("NO TIMEOUT");
      return link.request().io_Error == 0 ? 0 : 1;
    }
    --polls_left;
    // Ends early once the transfer is done: stop and wait pays this on every frame.
    link.wait_io_ticks(kTicksBetweenPolls);
    if (polls_left == 0) {
      if (link.check_io()) return link.request().io_Error == 0 ? 0 : 1;  // done just as the limit ran out
      break;
    }
  }
  link.abort_io();
  debug_line("TIMEOUT");
  return 1;
}

nanoseconds time_limit(const Link& link) { return kPollsPerOperation * kTicksBetweenPolls * link.tick(); }

nanoseconds frame_gap(const Link& link) { return time_limit(link) / 5; }

// --- Link frames ---

std::uint8_t calc_LPC(const UBYTE* data, long len) {
  if (len < 1) return 4;
  UBYTE x = 0;
  for (long i = 0; i < len; ++i) x ^= data[i];
  if (x >= 3 && x <= 127) return x;
  return static_cast<std::uint8_t>(x + 4);
}

long send_data(Link& link, const char* data, long len) {
  if (!payload_fits(len)) return LINK_NOT_ACKED;
  UBYTE reqdata[kMaxPayload + 3] = {};
  UBYTE answer = kNoAnswerYet;
  const auto* payload = reinterpret_cast<const UBYTE*>(data);
  reqdata[0] = STX;
  if (len > 0) std::memcpy(reqdata + 1, payload, static_cast<std::size_t>(len));
  reqdata[len + 1] = calc_LPC(payload, len);
  reqdata[len + 2] = ETX;
  const auto frame_length = static_cast<std::uint32_t>(len + 3);
  for (std::uint32_t act_len = 0; act_len < frame_length; act_len += link.request().io_Actual) {
    if (!transfer(link, CMD_WRITE, reqdata + act_len, frame_length - act_len)) return LINK_SEND_TIMEOUT;
  }
  if (!transfer(link, CMD_READ, &answer, 1)) return LINK_TIMEOUT;
  return answer == ACK ? LINK_OK : LINK_NOT_ACKED;
}

bool receive_bytes(Link& link, UBYTE* into, std::uint32_t count) {
  for (std::uint32_t act_len = 0; act_len < count; act_len += link.request().io_Actual) {
    if (!transfer(link, CMD_READ, into + act_len, count - act_len)) return false;
  }
  return true;
}

long unpack_frame(const UBYTE* wire, UBYTE* data, long len, bool& framed) {
  if (len > 0) std::memcpy(data, wire + 1, static_cast<std::size_t>(len));
  data[len] = 0;
  framed = wire[0] == STX && wire[len + 2] == ETX;
  return calc_LPC(data, len) == wire[len + 1] ? LINK_OK : LINK_CHECK_ERROR;
}

long receive_data(Link& link, UBYTE* data, long len) {
  bool framed = false;
  return read_frame(link, data, len, framed);
}

long receive_framed_data(Link& link, UBYTE* data, long len) {
  bool framed = false;
  const long result = read_frame(link, data, len, framed);
  return result == LINK_OK && !framed ? LINK_CHECK_ERROR : result;
}

BOOL send_ACK(Link& link) { return send_answer(link, ACK); }

BOOL send_NAK(Link& link) { return send_answer(link, NAK); }

// --- Getting back in step ---

void settle(Link& link) {
  // What a peer needs beyond its own time limit to notice a time-out and act on it.
  const nanoseconds margin = time_limit(link) / 5;
  link.drop_input_until_quiet(time_limit(link) + margin, 10 * time_limit(link));
}

void wait_for_receiver_to_give_up(Link& link) {
  UBYTE answer = 0;
  start_transfer(link, CMD_READ, &answer, 1);
  const nanoseconds deadline = link.now() + (kTransferFailuresBeforeGivingUp + 1) * time_limit(link);
  while (!link.check_io() && link.now() < deadline && !link.cancelled()) link.wait_io_ticks(kTicksBetweenPolls);
  link.abort_io();
  settle(link);
}
