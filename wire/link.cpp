#include "wire/link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorvantix::wire {

using std::chrono::nanoseconds;

namespace {

constexpr UBYTE kNoAnswerYet = 0x66;  // anything but ACK
// A peer's UART may run this much faster than the speed set (1/32: more than
// a working pair of UARTs can differ); a read sleeps that much less.
constexpr long kFastPeerShare = 32;
// A timed sleep may end this much late (the kernel's default timer slack).
constexpr nanoseconds kTimerSlack = std::chrono::microseconds(50);
// Fewer bytes than this are not worth a sleep: they are watched for.
constexpr long kLeastBytesToSleep = 2;

bool payload_fits(long len) { return len >= 0 && len <= kMaxPayload; }

}  // namespace

// --- Link ---

Link::Link(host::Clock& clock, lines::LineOpener opener) : clock_(clock), opener_(std::move(opener)) {}

Link::~Link() = default;

Result<> Link::open_line(const char* device, long unit) {
  std::string error;
  line_ = opener_(device, unit, error);
  pending_ = false;
  put_back_.clear();
  sent_until_ = now();
  if (!line_) return fail(Status::port_open_failed, error);
  return {};
}

void Link::close_line() {
  line_.reset();
  pending_ = false;
  put_back_.clear();
}

Result<> Link::apply_speed(long baud) {
  if (!line_) return fail(Status::port_params_failed, "no line is open");
  // Rate 0 hangs a line up; no rate below 1 is ever applied.
  if (baud < 1) return fail(Status::port_params_failed, "line speed " + std::to_string(baud) + " is not a rate");
  std::string error;
  if (!line_->set_speed(baud, error)) return fail(Status::port_params_failed, error);
  baud_ = baud;
  return {};
}

nanoseconds Link::byte_time() const { return nanoseconds(kBitsPerByte * 1'000'000'000LL / std::max(baud_, 1L)); }

void Link::start_read(UBYTE* into, std::uint32_t length) {
  start(Transfer{.direction = lines::Direction::in, .into = into, .length = length});
}

void Link::start_write(const UBYTE* from, std::uint32_t length) {
  start(Transfer{.direction = lines::Direction::out, .from = from, .length = length});
}

void Link::start(Transfer transfer) {
  transfer_ = transfer;
  handed_over_at_.reset();
  may_sleep_until_.reset();
  outpaced_ = false;
  // Without a line the transfer ends at once, failed, as on a line that has gone.
  transfer_.line_gone = line_ == nullptr;
  pending_ = line_ != nullptr;
  // A write's limit covers the wire time of its own bytes, behind those still
  // crossing; a read's starts once what we wrote has crossed, since no
  // answer can begin before the frame it answers has arrived.
  const nanoseconds crossed = std::max(now(), sent_until_);
  wire_until_ = transfer_.reading() ? crossed : crossed + static_cast<long>(transfer_.length) * byte_time();
}

nanoseconds Link::limit_starts_at() const { return std::max(now(), wire_until_); }

long Link::move_bytes(std::size_t count) {
  if (!transfer_.reading()) return line_->write_some(transfer_.from + transfer_.done, count);
  std::uint8_t* bytes = transfer_.into + transfer_.done;
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
  const bool reading = transfer_.reading();
  if (!reading && transfer_.done > 0) {
    pending_ = line_->output_queued() > 0;
    return;
  }
  const std::size_t left = transfer_.length - transfer_.done;
  if (left == 0) {
    pending_ = false;
    return;
  }
  const long moved = move_bytes(left);
  if (moved < 0) {
    transfer_.line_gone = true;
    pending_ = false;
    return;
  }
  if (moved == 0) return;
  if (!reading) sent_until_ = std::max(now(), sent_until_) + moved * byte_time();
  transfer_.done += static_cast<std::uint32_t>(moved);
  pending_ = reading ? transfer_.done < transfer_.length : line_->output_queued() > 0;
}

bool Link::transfer_ended() {
  if (pending_) advance();
  return !pending_;
}

void Link::give_up_transfer() {
  if (pending_ && line_ && !transfer_.reading()) {
    line_->discard_output();
    sent_until_ = now();
  }
  pending_ = false;
}

bool Link::read_within_limit(UBYTE* into, std::uint32_t length) {
  start_read(into, length);
  return await_within_limit();
}

bool Link::write_within_limit(const UBYTE* from, std::uint32_t length) {
  start_write(from, length);
  return await_within_limit();
}

// The limit starts once our own bytes have crossed a paced line; a transfer
// that has ended when the limit runs out counts as ended.
bool Link::await_within_limit() {
  const nanoseconds deadline = limit_starts_at() + time_limit(*this);
  while (!cancelled()) {
    if (transfer_ended()) return !transfer_.line_gone;
    if (now() >= deadline) break;
    // Ends early once the transfer is done: stop and wait pays this on every frame.
    wait_for_transfer_until(std::min(deadline, now() + kTicksBetweenPolls * tick()));
  }
  give_up_transfer();
  return false;
}

void Link::await_one_byte_until(nanoseconds deadline) {
  UBYTE answer = 0;
  start_read(&answer, 1);
  while (!transfer_ended() && now() < deadline && !cancelled()) {
    wait_for_transfer_until(std::min(deadline, now() + kTicksBetweenPolls * tick()));
  }
  give_up_transfer();
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
  if (!transfer_.reading() || outpaced_ || !may_sleep_until_) return std::nullopt;
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
  if (!transfer_.reading() || transfer_.done == before) return;
  const nanoseconds one_byte = byte_time();
  const auto could_cross = [&](nanoseconds since) { return (since + since / kFastPeerShare) / one_byte + 2; };
  if (handed_over_at_ && transfer_.done - had_at_hand_over_ > could_cross(now() - *handed_over_at_)) {
    outpaced_ = true;
  }
  if (!watched) return;
  handed_over_at_ = now();
  had_at_hand_over_ = transfer_.done;
  may_sleep_until_.reset();
  if (transfer_.done > could_cross(now() - sent_until_)) {
    outpaced_ = true;
    return;
  }
  const long missing = static_cast<long>(transfer_.length - transfer_.done);
  const nanoseconds crossing = (missing - 1) * one_byte;
  const nanoseconds sleep = crossing - crossing / kFastPeerShare - kTimerSlack;
  if (sleep >= kLeastBytesToSleep * one_byte) may_sleep_until_ = now() + sleep;
}

void Link::wait_for_transfer_until(nanoseconds deadline) {
  waiting();
  if (!line_) {
    clock_.sleep_for(deadline - now());
    return;
  }
  // The caller has just polled: wait first, then look (one read fewer a frame).
  while (pending_) {
    const nanoseconds left = deadline - now();
    if (left <= nanoseconds::zero()) return;
    const std::uint32_t before = transfer_.done;
    const std::optional<nanoseconds> rest = paced_rest_of_read();
    if (rest) {
      clock_.sleep_for(std::min(left, *rest));
    } else {
      line_->wait_ready(transfer_.direction, left);
    }
    if (transfer_ended()) return;
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

Result<> allocport(Link& link, long port, const char* device) {
  if (Result<> opened = link.open_line(device, port); !opened) return opened;
  return set_baud_rate(link, 9600);
}

void freeport(Link& link, long /*port*/) {
  if (!link.transfer_ended()) link.give_up_transfer();
  link.close_line();
}

Result<> set_baud_rate(Link& link, long baud) {
  link.delay_ticks(kTicksBeforeParamChange);
  return link.apply_speed(baud);
}

BOOL checktimeout(Link& link) { return link.await_within_limit() ? 0 : 1; }

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
  for (std::uint32_t done = 0; done < count; done += link.transfer_.done) {
    if (!link.write_within_limit(from + done, count - done)) return false;
  }
  return true;
}

bool receive_bytes(Link& link, UBYTE* into, std::uint32_t count) {
  for (std::uint32_t done = 0; done < count; done += link.transfer_.done) {
    if (!link.read_within_limit(into + done, count - done)) {
      link.formless_input({into, std::min<std::size_t>(count, done + link.transfer_.done)});
      return false;
    }
  }
  return true;
}

Result<> send_frame(Link& link, const char* data, long len, UBYTE& answer) {
  answer = kNoAnswerYet;
  if (!payload_fits(len)) return fail(Status::frame_not_acked, "a frame of " + std::to_string(len) + " bytes");
  UBYTE reqdata[frame_bytes(kMaxPayload)] = {};
  const auto* payload = reinterpret_cast<const UBYTE*>(data);
  reqdata[0] = STX;
  if (len > 0) std::memcpy(reqdata + 1, payload, static_cast<std::size_t>(len));
  reqdata[len + 1] = calc_LPC(payload, len);
  reqdata[len + 2] = ETX;
  if (!write_bytes(link, reqdata, static_cast<std::uint32_t>(frame_bytes(len)))) {
    return fail(Status::send_timed_out, "the frame did not leave within the time limit");
  }
  link.count_frame();
  if (!link.read_within_limit(&answer, 1)) return fail(Status::timed_out, "no answer to the frame");
  if (answer == ACK || answer == NAK) link.frame_has_crossed();
  if (answer != ACK) {
    link.count_repeat();
    return fail(Status::frame_not_acked, "the frame was not acknowledged");
  }
  return {};
}

Result<> send_data(Link& link, const char* data, long len) {
  UBYTE answer = 0;
  return send_frame(link, data, len, answer);
}

Result<> unpack_frame(const UBYTE* wire, UBYTE* data, long len, bool& framed) {
  if (len > 0) std::memcpy(data, wire + 1, static_cast<std::size_t>(len));
  data[len] = 0;
  framed = wire[0] == STX && wire[len + 2] == ETX;
  if (calc_LPC(data, len) != wire[len + 1]) return fail(Status::frame_damaged, "the frame's check byte is wrong");
  return {};
}

namespace {

// receive_data, telling also whether the frame began with STX and ended with ETX.
Result<> read_frame(Link& link, UBYTE* data, long len, bool& framed) {
  framed = false;
  if (!payload_fits(len)) return fail(Status::frame_damaged, "a frame of " + std::to_string(len) + " bytes");
  UBYTE reqdata[frame_bytes(kMaxPayload)] = {};
  link.count_frame();
  if (!receive_bytes(link, reqdata, static_cast<std::uint32_t>(frame_bytes(len)))) {
    return fail(Status::timed_out, "no whole frame within the time limit");
  }
  Result<> unpacked = unpack_frame(reqdata, data, len, framed);
  if (!unpacked) link.formless_input({reqdata, static_cast<std::size_t>(frame_bytes(len))});
  return unpacked;
}

bool send_answer(Link& link, UBYTE answer) { return write_bytes(link, &answer, 1); }

}  // namespace

Result<> receive_data(Link& link, UBYTE* data, long len) {
  bool framed = false;
  return read_frame(link, data, len, framed);
}

Result<> receive_framed_data(Link& link, UBYTE* data, long len) {
  bool framed = false;
  Result<> result = read_frame(link, data, len, framed);
  if (result && !framed) return fail(Status::frame_damaged, "the frame lacks its STX or its ETX");
  return result;
}

bool send_ACK(Link& link) { return send_answer(link, ACK); }

bool send_NAK(Link& link) {
  link.count_repeat();
  return send_answer(link, NAK);
}

// --- Getting back in step ---

nanoseconds settle_quiet(const Link& link) {
  // A peer that counts the wire time of its frame before its limit for the
  // answer (on a line that takes bytes at once) repeats that much later.
  return share_of_limit(link, timing::kSettleQuiet) + wire_time(link, frame_bytes(kMaxPayload));
}

void settle(Link& link) { link.drop_input_until_quiet(settle_quiet(link), share_of_limit(link, timing::kSettleCap)); }

void wait_for_receiver_to_give_up(Link& link) {
  link.await_one_byte_until(link.now() + share_of_limit(link, timing::kReceiverGivesUp));
  settle(link);
}

}  // namespace quorvantix::wire
