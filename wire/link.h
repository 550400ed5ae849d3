// The serial link: the line, the time limit on every transfer, link frames.
//
// A link frame is STX (0x02), a payload whose length both ends know in advance
// (0 to 1024 bytes), the check byte calc_LPC of the payload, and ETX (0x03).
// Every frame is answered by one bare byte, ACK or NAK. Every transfer on the
// line gets the time limit: 21 polls with a wait of 5 ticks after each, 2.1 s
// on the standard tick (wire.h).
//
// Each end of a connection owns one Link: it holds the line, the clock the
// limits run on, the one transfer in flight and cancellation. Every
// operation below works on the link it is given.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/clock.h"
#include "lines/serial_line.h"
#include "wire/status.h"
#include "wire/wire.h"

namespace quorvantix::wire {

class Link {
 public:
  // `clock` must outlive the link. `opener` turns a device name and a unit
  // into a line (the host's lines unless a test hands in its own).
  explicit Link(host::Clock& clock, lines::LineOpener opener = lines::open_host_line);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link();

  // The line speed the link set, in baud.
  long baud() const { return baud_; }
  // True when no line is open, or the line has gone for good: a transfer on it
  // ends at once and fails, so a caller that sees Status::timed_out asks this to
  // tell a silent peer from a line that is gone.
  bool lost() const;
  // Why the line was lost, where it says more than that its far end went
  // (lines::Line::lost_reason); empty otherwise.
  std::string lost_reason() const { return line_ ? line_->lost_reason() : std::string(); }
  // After the line was lost: takes it up again where it goes on without a new
  // open (a listening TCP line takes its next peer). False when it must be
  // closed and opened again.
  bool take_next_peer();
  // The customer has signed off: a listening TCP line lets it wait with the
  // other peers until one of them identifies.
  void between_customers();
  // The address of the peer on a line on the network (lines::Line::peer_address).
  std::string peer_address() const { return line_ ? line_->peer_address() : std::string(); }
  // False when a speed set on the line reaches no serial port (a plain TCP
  // connection): a terminal server's port on the way keeps its own speed.
  bool speed_reaches_port() const { return !line_ || line_->speed_reaches_port(); }

  // --- Counts ---
  // Frames this end sent or received, and the repeats among them (a NAK it
  // sent, an answer other than ACK it got): what the line's speed costs.
  struct FrameCounts {
    std::uint64_t frames = 0;
    std::uint64_t repeats = 0;
  };
  const FrameCounts& frame_counts() const { return frame_counts_; }
  void count_frame() { ++frame_counts_.frames; }
  void count_repeat() { ++frame_counts_.repeats; }

  // --- Cancellation ---
  // Makes the transfer in flight, and every later one, end at its next poll as
  // if its time limit had run out; the waits between frames (first_byte_within,
  // drop_input_until_quiet, settle) end at once. Safe to call from a signal
  // handler.
  void cancel() noexcept { cancelled_.store(true); }
  // cancel() for a signal handler that holds the link as a plain pointer.
  static void cancel_from_signal(void* link) noexcept { static_cast<Link*>(link)->cancel(); }
  void clear_cancel() noexcept { cancelled_.store(false); }
  bool cancelled() const noexcept { return cancelled_.load(); }

  // --- Time ---
  std::chrono::nanoseconds now() const { return clock_.now(); }
  std::chrono::nanoseconds tick() const { return clock_.tick(); }
  void delay_ticks(int ticks) {
    waiting();
    clock_.sleep_for(ticks * clock_.tick());
  }
  // `hook(now)` runs as each wait of the link begins, on the line or on the
  // clock (a service's keep-alives for its watchdog come from there).
  void on_wait(std::function<void(std::chrono::nanoseconds now)> hook) { on_wait_ = std::move(hook); }
  // When the bytes written so far have crossed the line, at the speed the
  // link set: a write counts as ended then, for every time limit that
  // follows it, however early the host took the bytes (a pty or a socket in
  // front of a paced UART takes them at once).
  std::chrono::nanoseconds sent_until() const { return sent_until_; }

  // --- Watching the line between frames ---
  // Waits at most `limit` for the first byte of a frame, without taking it.
  // When it came; nothing when the line stayed silent, was lost or cancelled.
  std::optional<std::chrono::nanoseconds> first_byte_within(std::chrono::nanoseconds limit);
  // Takes and drops what arrives until the line has been quiet for `quiet`, at
  // most `limit` in all. False when it never went quiet, no line is open, the
  // line is lost or the link cancelled.
  bool drop_input_until_quiet(std::chrono::nanoseconds quiet, std::chrono::nanoseconds limit);
  // Drops what has arrived so far, without waiting (at most 1 MiB: a peer
  // that floods the line cannot hold it here).
  void drop_pending_input();
  // Hands bytes that were read back to the line: the next read takes them
  // first, as if they had just arrived (at most one frame's worth).
  void put_back(const UBYTE* bytes, std::size_t count);
  // `hook(bytes)` hears of input that formed no frame where a frame was read
  // (receive_bytes, receive_data): bytes that stopped short of it within the
  // time limit, or a whole frame that fails its check. An empty hook: none.
  using FormlessHook = std::function<void(std::span<const UBYTE> bytes)>;
  void on_formless_input(FormlessHook hook) { on_formless_ = std::move(hook); }
  void formless_input(std::span<const UBYTE> bytes) const {
    if (on_formless_ && !bytes.empty()) on_formless_(bytes);
  }

 private:
  // The operations that move bytes and set the port, over the members below.
  friend Result<> allocport(Link& link, long port, const char* device);
  friend void freeport(Link& link, long port);
  friend Result<> set_baud_rate(Link& link, long baud);
  friend BOOL checktimeout(Link& link);
  friend bool receive_bytes(Link& link, UBYTE* into, std::uint32_t count);
  friend bool write_bytes(Link& link, const UBYTE* from, std::uint32_t count);
  friend Result<> send_frame(Link& link, const char* data, long len, UBYTE& answer);
  friend void wait_for_receiver_to_give_up(Link& link);

  // The one transfer a link has in flight: which way, its bytes, how far it has come.
  struct Transfer {
    lines::Direction direction = lines::Direction::in;
    UBYTE* into = nullptr;        // a read's bytes
    const UBYTE* from = nullptr;  // a write's bytes
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    bool line_gone = false;  // it ended because the line failed under it
    bool reading() const { return direction == lines::Direction::in; }
  };

  // Fails with Status::port_open_failed, the reason the line's own.
  Result<> open_line(const char* device, long unit);
  void close_line();
  // Sets the line to `baud`, after what was written has left. Fails with
  // Status::port_params_failed, the line as it was, when the rate is no rate
  // or the line cannot take it.
  Result<> apply_speed(long baud);
  // Starts a read of `length` bytes into `into`, or a write of `length` bytes
  // from `from`, without waiting. A read ends when all its bytes have
  // arrived, a write once it has moved bytes and they have left the port;
  // either ends at once, failed (line_gone), when the line fails under it (a
  // write the far end did not take, a hang-up, a peer that closed). A read
  // that gets nothing from a line that is there goes on until its time limit.
  void start_read(UBYTE* into, std::uint32_t length);
  void start_write(const UBYTE* from, std::uint32_t length);
  void start(Transfer transfer);
  // Starts a transfer and waits for it within the time limit. False on a time-out.
  bool read_within_limit(UBYTE* into, std::uint32_t length);
  bool write_within_limit(const UBYTE* from, std::uint32_t length);
  // Polls the transfer until it ends or its limit runs out: true when it
  // ended whole, false when the limit ran out (it is given up), the line
  // failed under it or the link was cancelled.
  bool await_within_limit();
  // Waits until `deadline` at most for one byte, which is dropped.
  void await_one_byte_until(std::chrono::nanoseconds deadline);
  // True once the transfer has ended (or none is in flight). Never blocks.
  bool transfer_ended();
  // Makes the transfer in flight end at once; harmless on one that has ended.
  // A write that is given up takes back what it left queued, so that its
  // repeat never goes out overlapping it.
  void give_up_transfer();
  // Waits until `deadline` at most, ending early once the transfer has ended.
  void wait_for_transfer_until(std::chrono::nanoseconds deadline);
  // The peer has answered our frame: it has crossed the line, whatever our
  // count of its wire time says (a line faster than its speed, a pty that
  // nothing paces, has long delivered it).
  void frame_has_crossed() { sent_until_ = std::min(sent_until_, now()); }
  // When the time limit of the transfer just started begins to run: at once,
  // or, on a paced line, once our own bytes have crossed it.
  std::chrono::nanoseconds limit_starts_at() const;
  // How long a read may sleep now without waking after its last byte has
  // been handed over; nothing when it must watch the line instead.
  std::optional<std::chrono::nanoseconds> paced_rest_of_read();
  // After a wait in which the read in flight took bytes (`watched`: the line
  // woke it, so that they were handed over just now).
  void note_bytes_taken(std::uint32_t before, bool watched);
  std::chrono::nanoseconds byte_time() const;
  void advance();
  long move_bytes(std::size_t count);
  void waiting() {
    if (on_wait_) on_wait_(now());
  }

  host::Clock& clock_;
  lines::LineOpener opener_;
  std::unique_ptr<lines::Line> line_;
  long baud_ = kStartBaud;
  Transfer transfer_;
  bool pending_ = false;
  std::atomic<bool> cancelled_{false};
  std::chrono::nanoseconds sent_until_{};    // see sent_until()
  std::chrono::nanoseconds wire_until_{};    // when the transfer started last may have crossed the line
  // The read in flight: when bytes were last handed over while it watched
  // the line, how many it had then, and until when it may sleep since.
  std::optional<std::chrono::nanoseconds> handed_over_at_;
  std::uint32_t had_at_hand_over_ = 0;
  std::optional<std::chrono::nanoseconds> may_sleep_until_;
  // The read in flight has been handed more bytes than the line's speed can
  // carry (a pty that nothing paces, a port faster than the speed set): it
  // sleeps no more.
  bool outpaced_ = false;
  std::vector<UBYTE> put_back_;
  std::function<void(std::chrono::nanoseconds)> on_wait_;
  FormlessHook on_formless_;
  FrameCounts frame_counts_;
};

// --- The port ---

// Opens unit `port` of `device` and sets the line to 9600 baud, 8N1, no flow
// control. Fails with Status::port_open_failed or port_params_failed, the
// reason the line's own; whatever it opened stays for freeport.
Result<> allocport(Link& link, long port, const char* device);
// Ends a pending transfer and closes the device.
void freeport(Link& link, long port);
// Sets the line speed to `baud`. Fails with Status::port_params_failed, the
// line left as it was, the reason the line's own.
Result<> set_baud_rate(Link& link, long baud);
// Waits, within the time limit, for the transfer just started on the link.
// 0 when it completed (also as the limit ran out); 1 when the limit ran out,
// the line failed under it or the link was cancelled, and the transfer was
// aborted.
BOOL checktimeout(Link& link);
// The whole time limit of one transfer: 21 waits of 5 ticks. On a paced line
// it runs from when our own bytes have crossed the line (Link::sent_until), so
// that a write's limit covers its wire time and the limit for an answer
// starts once the frame it answers has arrived.
std::chrono::nanoseconds time_limit(const Link& link);
// A share of the time limit from the timing table (wire.h).
std::chrono::nanoseconds share_of_limit(const Link& link, LimitShare share);
// A line quiet this long is between frames: its sender waits for an answer.
std::chrono::nanoseconds frame_gap(const Link& link);
// The wire time of `count` bytes at the link's speed.
std::chrono::nanoseconds wire_time(const Link& link, long count);

// --- Link frames ---

// The check byte of `len` bytes: their exclusive-or, moved off the values 128
// to 131; 4 for no bytes.
std::uint8_t calc_LPC(const UBYTE* data, long len);
// Sends `len` bytes as one frame and reads the one-byte answer. Ok when it
// was ACK; fails with Status::frame_not_acked (any other answer),
// send_timed_out or timed_out (no answer).
Result<> send_data(Link& link, const char* data, long len);
// As send_data, and gives the answer byte that came (0x66, which is no
// answer byte, when none did).
Result<> send_frame(Link& link, const char* data, long len, UBYTE& answer);
// Receives one frame of `len` payload bytes into `data` (len + 1 bytes, a NUL
// is put after the payload). Fails with Status::frame_damaged (payload stored
// all the same) or timed_out (data untouched).
Result<> receive_data(Link& link, UBYTE* data, long len);
// As receive_data, but a frame that does not begin with STX and end with ETX
// is damaged too: a read out of step with the sender, by a byte that a fault
// added or took away, shows there even where the check byte happens to match.
Result<> receive_framed_data(Link& link, UBYTE* data, long len);
// The two halves of receive_data. Reads exactly `count` bytes of a frame,
// each piece within a fresh time limit; false on a time-out (what had come is
// thrown away).
bool receive_bytes(Link& link, UBYTE* into, std::uint32_t count);
// Writes `count` bytes, each piece within a fresh time limit; false on a
// time-out (what was still queued is taken back).
bool write_bytes(Link& link, const UBYTE* from, std::uint32_t count);
// Takes a frame of `len` payload bytes as it came off the line (len + 3
// bytes) apart: the payload into `data` with a NUL after it; fails with
// Status::frame_damaged. `framed` tells whether it began with STX and ended
// with ETX.
Result<> unpack_frame(const UBYTE* wire, UBYTE* data, long len, bool& framed);
// Write the one answer byte; false when it did not leave within the time limit.
bool send_ACK(Link& link);
bool send_NAK(Link& link);

// --- Getting back in step, for both ends ---
//
// Frames carry no sequence number and no length: after an exchange that went
// wrong, the ends find each other again by the silence between frames.

// After an exchange that went wrong: waits until the peer is back in step with
// an empty frame buffer. It repeats unanswered frames within its time limit,
// and a read of its own that has taken up stray bytes ends within its time
// limit too, throwing them away; so once the line has been quiet for longer
// than one time limit, the next frame arrives whole.
void settle(Link& link);
// How long the line must have been quiet for settle().
std::chrono::nanoseconds settle_quiet(const Link& link);
// After a transfer that stopped part-way on our side as sender: the receiver
// waits for the next frame until its fifth time-out, then answers NAK and
// goes back to its command loop. Waits for that answer, then settles.
void wait_for_receiver_to_give_up(Link& link);

}  // namespace quorvantix::wire
