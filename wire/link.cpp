#include "wire/link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorvantix::wire {

using std::chrono::nanoseconds;

namespace {

constexpr BOOL ADebug = 0;  // the link's debug lines; nothing turns them on
constexpr UBYTE kNoAnswerYet = 0x66;  // anything but ACK
// A peer's UART may run this much faster than the speed set (1/32: more than
// a working pair of UARTs can differ); a read sleeps that much less.
constexpr long kFastPeerShare = 32;
// A timed sleep may end this much late (the kernel's default timer slack).
constexpr nanoseconds kTimerSlack = std::chrono::microseconds(50);
// Fewer bytes than this are not worth a sleep: they are watched for.
constexpr long kLeastBytesToSleep = 2;

void debug_line(const char* text) {
  if (ADebug) std::printf("%s\n", text);
}

bool payload_fits(long len) { return len >= 0 && len <= kMaxPayload; }

}  // namespace

// The request cycle of a link, for the operations of this file alone.
struct RequestCycle {
  // Starts one transfer on the link's request, without waiting.
  static void start(Link& link, std::uint16_t command, void* data, std::uint32_t length) {
    IOExtSer& request = link.request_;
    request.io_Command = command;
    request.io_Data = data;
    request.io_Length = length;
    link.send_io();
  }

  // Starts one transfer and waits for it within the time limit. False on a time-out.
  static bool transfer(Link& link, std::uint16_t command, void* data, std::uint32_t length) {
    start(link, command, data, length);
    return checktimeout(link) == 0;
  }

  static std::uint32_t moved(const Link& link) { return link.request_.io_Actual; }

  // The peer has answered our frame: it has crossed the line, whatever our
  // count of its wire time says (a line faster than its speed, a pty that
  // nothing paces, has long delivered it).
  static void frame_has_crossed(Link& link) { link.sent_until_ = std::min(link.sent_until_, link.now()); }

  // Polls the transfer until it ends or its limit runs out. The limit starts
  // once our own bytes have crossed a paced line; a transfer that has ended
  // when the limit runs out counts as ended.
  static BOOL checktimeout(Link& link) {
    const nanoseconds deadline = link.limit_starts_at() + time_limit(link);
    while (!link.cancelled()) {
      if (link.check_io()) {
        debug_line("NO TIMEOUT");
        return link.request_.io_Error == 0 ? 0 : 1;
      }
      if (link.now() >= deadline) break;
      // Ends early once the transfer is done: stop and wait pays this on every frame.
      link.wait_io_until(std::min(deadline, link.now() + kTicksBetweenPolls * link.tick()));
    }
    link.abort_io();
    debug_line("TIMEOUT");
    return 1;
  }

  // Waits until `deadline` at most for one byte, which is dropped.
  static void wait_for_answer(Link& link, nanoseconds deadline) {
    UBYTE answer = 0;
    start(link, CMD_READ, &answer, 1);
    while (!link.check_io() && link.now() < deadline && !link.cancelled()) {
      link.wait_io_until(std::min(deadline, link.now() + kTicksBetweenPolls * link.tick()));
    }
    link.abort_io();
  }

  static long open(Link& link, long port, const char* device) {
    return link.open_device(device, port) ? PORT_OK : PORT_OPEN_FAILED;
  }

  static void close(Link& link) {
    if (!link.check_io()) link.abort_io();
    link.close_device();
  }

  // The speed from `baud` on the line, or the old one back. PORT_OK or PORT_PARAMS_FAILED.
  static long set_speed(Link& link, long baud) {
    IOExtSer& request = link.request_;
    const long before = request.io_Baud;
    request.io_Command = SDCMD_SETPARAMS;
    request.io_Baud = baud;
    if (link.do_io()) return PORT_OK;
    request.io_Baud = before;
    return PORT_PARAMS_FAILED;
  }
};

// --- Link ---

Link::Link(host::Clock& clock, lines::LineOpener opener) : clock_(clock), opener_(std::move(opener)) {}

Link::~Link() = default;

bool Link::open_device(const char* device, long unit) {
  last_error_.clear();
  line_ = opener_(device, unit, last_error_);
  pending_ = false;
  put_back_.clear();
  sent_until_ = now();
  return line_ != nullptr;
}

void Link::close_device() {
  line_.reset();
  pending_ = false;
  put_back_.clear();
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

nanoseconds Link::byte_time() const { return nanoseconds(kBitsPerByte * 1'000'000'000LL / std::max(request_.io_Baud, 1L)); }

void Link::send_io() {
  request_.io_Actual = 0;
  handed_over_at_.reset();
  may_sleep_until_.reset();
  outpaced_ = false;
  // Without a line the transfer ends at once, failed, as on a line that has gone.
  request_.io_Error = line_ ? 0 : IOERR_LINE_GONE;
  pending_ = line_ != nullptr;
  // A write's limit covers the wire time of its own bytes, behind those still
  // crossing; a read's starts once what we wrote has crossed, since no
  // answer can begin before the frame it answers has arrived.
  const nanoseconds crossed = std::max(now(), sent_until_);
  wire_until_ = request_.io_Command == CMD_WRITE ? crossed + static_cast<long>(request_.io_Length) * byte_time() : crossed;
}

nanoseconds Link::limit_starts_at() const { return std::max(now(), wire_until_); }

lines::Direction Link::direction() const {
  return request_.io_Command == CMD_READ ? lines::Direction::in : lines::Direction::out;
}

long Link::move_bytes(std::uint8_t* bytes, std::size_t count) {
  if (request_.io_Command != CMD_READ) return line_->write_some(bytes, count);
  if (put_back_.empty()) return line_->read_some(bytes, count);
  const std::size_t taken = std::min(count, put_back_.size());
  std::memcpy(bytes, put_back_.data(), taken);
  put_back_.erase(put_back_.begin(), put_back_.begin() + static_cast<long>(taken));
  return static_cast<long>(taken);
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
  const long moved = move_bytes(bytes, left);
  if (moved < 0) {
    request_.io_Error = IOERR_LINE_GONE;
    pending_ = false;
    return;
  }
  if (moved == 0) return;
  if (!reading) sent_until_ = std::max(now(), sent_until_) + moved * byte_time();
  request_.io_Actual += static_cast<std::uint32_t>(moved);
  pending_ = reading ? request_.io_Actual < request_.io_Length : line_->output_queued() > 0;
}

bool Link::check_io() {
  if (pending_) advance();
  return !pending_;
}

void Link::abort_io() {
  if (pending_ && line_ && request_.io_Command == CMD_WRITE) {
    line_->discard_output();
    sent_until_ = now();
  }
  pending_ = false;
}

// A read need not wake for every byte a port hands over. Every kind of port
// hands over all it holds when it hands over anything: a UART's FIFO is
// emptied at its interrupt, a USB adapter's packet takes what its buffer
// has, an emulator passes on what came during its frame. So when the line
// wakes a read with bytes, the bytes still missing have not yet arrived, and
// the last of R of them cannot arrive before R - 1 byte times have passed:
// the read sleeps that long (less a margin for a fast peer and the timer),
// then takes what has come and watches the line for the next hand-over. It
// never sleeps past the moment its last byte can be handed over, whatever
// the port, so the frame is answered as soon as it is whole.
std::optional<nanoseconds> Link::paced_rest_of_read() {
  if (request_.io_Command != CMD_READ || outpaced_ || !may_sleep_until_) return std::nullopt;
  const nanoseconds rest = *may_sleep_until_ - now();
  if (rest > nanoseconds::zero()) return rest;
  may_sleep_until_.reset();
  return std::nullopt;
}

// Bytes may come faster than the speed set: from a pty that nothing paces, or
// from a port faster than that speed. Then the read sleeps no more: more
// bytes than could have crossed since our own last bytes did (in a frame
// that answers them), or since the last hand-over, leave it awake. The line
// is not judged beyond the read: a port that lags (a loaded machine, a
// simulator behind its time) hands over a backlog now and then, and every
// read after it would pay for it.
void Link::note_bytes_taken(std::uint32_t before, bool watched) {
  if (request_.io_Command != CMD_READ || request_.io_Actual == before) return;
  const nanoseconds one_byte = byte_time();
  const auto could_cross = [&](nanoseconds since) { return (since + since / kFastPeerShare) / one_byte + 2; };
  if (handed_over_at_ && request_.io_Actual - had_at_hand_over_ > could_cross(now() - *handed_over_at_)) {
    outpaced_ = true;
  }
  if (!watched) return;
  handed_over_at_ = now();
  had_at_hand_over_ = request_.io_Actual;
  may_sleep_until_.reset();
  if (request_.io_Actual > could_cross(now() - sent_until_)) {
    outpaced_ = true;
    return;
  }
  const long missing = static_cast<long>(request_.io_Length - request_.io_Actual);
  const nanoseconds crossing = (missing - 1) * one_byte;
  const nanoseconds sleep = crossing - crossing / kFastPeerShare - kTimerSlack;
  if (sleep >= kLeastBytesToSleep * one_byte) may_sleep_until_ = now() + sleep;
}

void Link::wait_io_until(nanoseconds deadline) {
  waiting();
  if (!line_) {
    clock_.sleep_for(deadline - now());
    return;
  }
  // The caller has just polled: wait first, then look (one read fewer a frame).
  while (pending_) {
    const nanoseconds left = deadline - now();
    if (left <= nanoseconds::zero()) return;
    const std::uint32_t before = request_.io_Actual;
    const std::optional<nanoseconds> rest = paced_rest_of_read();
    if (rest) {
      clock_.sleep_for(std::min(left, *rest));
    } else {
      line_->wait_ready(direction(), left);
    }
    if (check_io()) return;
    note_bytes_taken(before, !rest);
  }
}

bool Link::lost() const { return !line_ || line_->lost(); }

bool Link::take_next_peer() {
  if (!line_ || !line_->take_next_peer()) return false;
  pending_ = false;
  put_back_.clear();
  return true;
}

void Link::between_customers() {
  if (line_) line_->between_customers();
}

std::optional<nanoseconds> Link::first_byte_within(nanoseconds limit) {
  if (lost() || cancelled()) return std::nullopt;
  waiting();
  if (!put_back_.empty()) return now();
  const nanoseconds deadline = now() + limit;
  line_->wait_ready(lines::Direction::in, limit);
  const nanoseconds arrived = now();
  if (arrived >= deadline || cancelled() || line_->lost()) return std::nullopt;
  return arrived;
}

bool Link::drop_input_until_quiet(nanoseconds quiet, nanoseconds limit) {
  put_back_.clear();
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
    line_->wait_ready(lines::Direction::in, std::min(quiet - (at - quiet_since), deadline - at));
  }
  return false;
}

void Link::drop_pending_input() {
  put_back_.clear();
  if (!line_) return;
  // What has arrived, not what a peer that never stops sends meanwhile.
  constexpr std::size_t kMostBytesDropped = std::size_t{1} << 20;
  UBYTE scrap[kMaxPayload];
  for (std::size_t dropped = 0; dropped < kMostBytesDropped;) {
    const long got = line_->read_some(scrap, sizeof scrap);
    if (got <= 0) return;
    dropped += static_cast<std::size_t>(got);
  }
}

void Link::put_back(const UBYTE* bytes, std::size_t count) {
  put_back_.insert(put_back_.begin(), bytes, bytes + std::min<std::size_t>(count, frame_bytes(kMaxPayload)));
}

// --- The port ---

long allocport(Link& link, long port, const char* device) {
  if (RequestCycle::open(link, port, device) != PORT_OK) return PORT_OPEN_FAILED;
  debug_line("setbaudrate");
  return set_baud_rate(link, 9600);
}

long freeport(Link& link, long /*port*/) {
  RequestCycle::close(link);
  return 0;
}

long set_baud_rate(Link& link, long baud) {
  link.delay_ticks(kTicksBeforeParamChange);
  return RequestCycle::set_speed(link, baud);
}

BOOL checktimeout(Link& link) { return RequestCycle::checktimeout(link); }

nanoseconds time_limit(const Link& link) { return kPollsPerOperation * kTicksBetweenPolls * link.tick(); }

nanoseconds share_of_limit(const Link& link, LimitShare share) {
  return time_limit(link) * share.numerator / share.denominator;
}

nanoseconds frame_gap(const Link& link) { return share_of_limit(link, timing::kFrameGap); }

nanoseconds wire_time(const Link& link, long count) {
  return count * nanoseconds(kBitsPerByte * 1'000'000'000LL / std::max(link.baud(), 1L));
}

// --- Link frames ---

std::uint8_t calc_LPC(const UBYTE* data, long len) {
  if (len < 1) return 4;
  UBYTE x = 0;
  for (long i = 0; i < len; ++i) x ^= data[i];
  if (x >= 3 && x <= 127) return x;
  return static_cast<std::uint8_t>(x + 4);
}

bool write_bytes(Link& link, const UBYTE* from, std::uint32_t count) {
  auto* bytes = const_cast<UBYTE*>(from);  // the request moves them out, never changes them
  for (std::uint32_t act_len = 0; act_len < count; act_len += RequestCycle::moved(link)) {
    if (!RequestCycle::transfer(link, CMD_WRITE, bytes + act_len, count - act_len)) return false;
  }
  return true;
}

bool receive_bytes(Link& link, UBYTE* into, std::uint32_t count) {
  for (std::uint32_t act_len = 0; act_len < count; act_len += RequestCycle::moved(link)) {
    if (!RequestCycle::transfer(link, CMD_READ, into + act_len, count - act_len)) return false;
  }
  return true;
}

long send_frame(Link& link, const char* data, long len, UBYTE& answer) {
  answer = kNoAnswerYet;
  if (!payload_fits(len)) return LINK_NOT_ACKED;
  UBYTE reqdata[frame_bytes(kMaxPayload)] = {};
  const auto* payload = reinterpret_cast<const UBYTE*>(data);
  reqdata[0] = STX;
  if (len > 0) std::memcpy(reqdata + 1, payload, static_cast<std::size_t>(len));
  reqdata[len + 1] = calc_LPC(payload, len);
  reqdata[len + 2] = ETX;
  if (!write_bytes(link, reqdata, static_cast<std::uint32_t>(frame_bytes(len)))) return LINK_SEND_TIMEOUT;
  if (!RequestCycle::transfer(link, CMD_READ, &answer, 1)) return LINK_TIMEOUT;
  if (answer == ACK || answer == NAK) RequestCycle::frame_has_crossed(link);
  return answer == ACK ? LINK_OK : LINK_NOT_ACKED;
}

long send_data(Link& link, const char* data, long len) {
  UBYTE answer = 0;
  return send_frame(link, data, len, answer);
}

long unpack_frame(const UBYTE* wire, UBYTE* data, long len, bool& framed) {
  if (len > 0) std::memcpy(data, wire + 1, static_cast<std::size_t>(len));
  data[len] = 0;
  framed = wire[0] == STX && wire[len + 2] == ETX;
  return calc_LPC(data, len) == wire[len + 1] ? LINK_OK : LINK_CHECK_ERROR;
}

namespace {

// receive_data, telling also whether the frame began with STX and ended with ETX.
long read_frame(Link& link, UBYTE* data, long len, bool& framed) {
  framed = false;
  if (!payload_fits(len)) return LINK_CHECK_ERROR;
  UBYTE reqdata[frame_bytes(kMaxPayload)] = {};
  if (!receive_bytes(link, reqdata, static_cast<std::uint32_t>(frame_bytes(len)))) return LINK_TIMEOUT;
  return unpack_frame(reqdata, data, len, framed);
}

BOOL send_answer(Link& link, UBYTE answer) {
  return write_bytes(link, &answer, 1) ? static_cast<BOOL>(LINK_OK) : static_cast<BOOL>(LINK_TIMEOUT);
}

}  // namespace

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

nanoseconds settle_quiet(const Link& link) {
  // A peer that counts the wire time of its frame before its limit for the
  // answer (on a line that takes bytes at once) repeats that much later.
  return share_of_limit(link, timing::kSettleQuiet) + wire_time(link, frame_bytes(kMaxPayload));
}

void settle(Link& link) { link.drop_input_until_quiet(settle_quiet(link), share_of_limit(link, timing::kSettleCap)); }

void wait_for_receiver_to_give_up(Link& link) {
  RequestCycle::wait_for_answer(link, link.now() + share_of_limit(link, timing::kReceiverGivesUp));
  settle(link);
}

}  // namespace quorvantix::wire
