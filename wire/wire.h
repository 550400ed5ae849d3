// What crosses the line, for both ends: the frame bytes, the payload of every
// kind of frame, the command codes, the repeat rule, and the timing table.
//
// A link frame is STX, a payload whose length both ends know from the step of
// the exchange they are in, the check byte and ETX; every frame is answered
// by one bare byte, ACK or NAK.
#pragma once

#include <chrono>
#include <cstddef>

#include "wire/status.h"

namespace quorvantix::wire {

// --- Frame bytes ---
constexpr UBYTE STX = 0x02;
constexpr UBYTE ETX = 0x03;
constexpr UBYTE ACK = 0x06;
constexpr UBYTE NAK = 0x15;

// --- Payload lengths, in bytes ---
constexpr long kMaxPayload = 1024;
constexpr long kCommandFrameBytes = 60;   // code at offset 0, NUL-terminated argument from offset 1
constexpr long kHeaderBytes = 60;         // file-transfer header "%s %d %d"
constexpr long kBlockBytes = 1024;        // block frame; the short block carries the rest
constexpr long kListingLineBytes = 45;    // "FILE"/"DIR ", name in 30 columns, size in 10; or "END"
constexpr long kIdentificationBytes = 3;  // OS code, CPU code, version code

// A link frame of `payload` bytes on the wire.
constexpr long frame_bytes(long payload) { return payload + 3; }
constexpr std::size_t kIdentificationFrameBytes = frame_bytes(kIdentificationBytes);

// Stands for a space in the name that a file-transfer header carries.
constexpr UBYTE kSpaceSubstitute = 0xAE;

// --- Command codes (payload byte 0 of a command frame) ---
constexpr UBYTE cmd_get_akt_dir = 0x20;
constexpr UBYTE cmd_set_akt_dir = 0x21;
constexpr UBYTE cmd_send_file = 0x22;
constexpr UBYTE cmd_receive_file = 0x23;
constexpr UBYTE cmd_send_akt_dir = 0x24;
constexpr UBYTE cmd_terminate = 0x25;
constexpr UBYTE cmd_customer_terminate = 0x26;
constexpr UBYTE cmd_set_baud_rate = 0x29;

// --- Repeats ---
// Each end of a transfer counts failed frames over the whole transfer; the
// fifth ends it. A failure is a frame that was damaged, unanswered or
// answered with anything but ACK.
constexpr int kFailuresEndingATransfer = 5;
constexpr int kMaxRetries = kFailuresEndingATransfer - 1;  // failures a transfer survives

// --- Timing ---
// Every transfer on the line, a frame or its answer, has the time limit: 21
// polls with a wait of 5 ticks after each, 2.1 s on the standard tick of
// 1/50 s. The line speed is 9600 baud at the start and after every sign-off.
constexpr int kPollsPerOperation = 21;
constexpr int kTicksBetweenPolls = 5;
constexpr int kTicksBeforeParamChange = 1;
constexpr long kStartBaud = 9600;
constexpr int kBitsPerByte = 10;  // 8N1: a start bit, eight data bits, a stop bit

// A share of the time limit.
struct LimitShare {
  long numerator;
  long denominator;
};

// Every other wait both ends keep is derived from the time limit, here and
// nowhere else: a timing change is a one-line edit. "A sender" is any peer
// that keeps to the time limit, ours or one on an old machine, whose
// repeat begins a time limit after its frame ended (plus its poll step).
namespace timing {
// Quiet that closes a frame: a frame's bytes come back to back, so after
// this much quiet its sender is waiting for the answer.
constexpr LimitShare kFrameGap{1, 5};
// Quiet after which both ends are in step again: longer than the limit in
// which a peer repeats or gives up a read, plus the time it needs to act on it.
constexpr LimitShare kSettleQuiet{6, 5};
// How long a wait for quiet may last in all, on a line that keeps talking.
constexpr LimitShare kQuietWaitCap{2, 1};
constexpr LimitShare kSettleCap{10, 1};
// Where a sender's repeat of a block can begin, counted from the end of the
// block it repeats: no sooner than its whole time limit, no later than that
// plus its poll step (it notices its write ended at a poll) and the line's
// slack. An equal block in that window is a repeat; one before or after it
// is the next block.
constexpr LimitShare kRepeatWindowStart{1, 1};
constexpr LimitShare kRepeatWindowEnd{241, 210};  // the limit, a poll step (1/21) and a tenth
// Our sender keeps quiet this long, after the answer's time limit has run
// out, before it sends an unanswered frame again: a receiver still reading a
// torn first copy has given it up by then, and the repeat stays inside the
// receiver's repeat window.
constexpr LimitShare kRepeatPause{1, 10};
// And this long before it sends again a short block refused with NAK: the
// receiver has not stored it, and waits for a frame gap of quiet first.
constexpr LimitShare kRefusedPause{2, 5};
// A receiver gives up after its fifth time-out; we allow one limit more
// before we take it to have given up.
constexpr LimitShare kReceiverGivesUp{kFailuresEndingATransfer + 1, 1};
}  // namespace timing

}  // namespace quorvantix::wire
