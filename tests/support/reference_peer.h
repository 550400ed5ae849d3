// A reference end for the tests: a customer or a service that does exactly
// what the link's rules say and nothing more, so that our own ends can be
// tried against a peer that is not our code.
//
// It has its own line on the simulated cable, behind a UART (a write ends
// once its bytes have left its port), and its own time limit: 21 polls with
// a sleep of 5 ticks after each, the abort after the 21st sleep, so that an
// operation that ends during that last sleep is still a time-out. A read that
// is aborted throws away what it had taken; bytes beyond what a read asks
// for stay for the next one. It has no repeat detection: as a sender it
// repeats at once after a wrong answer or a time-out, and gives up at the
// fifth failure of the transfer; as a receiver it stores every whole frame,
// and a listing reader gives up at five failed frames in a row.
//
// Either side keeps its files in `disk`, in one folder. As a service it
// identifies, names its folder "/", transfers and changes speed. Statuses are the codes of
// tests/support/reference_codes.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/reference_codes.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_dir.h"
#include "wire/status.h"

namespace quorvantix::testsupport {

// Files by their name.
struct ReferenceDisk {
  std::map<std::string, Bytes> files;
};

class ReferencePeer {
 public:
  // Opens `side` of the cable at 9600 baud: a new program on that line. What
  // the line delivered before and nobody read is still there.
  ReferencePeer(SimCable& cable, SimCable::Side side, host::Clock& clock);

  // --- Knobs ---
  // How long reading block `number` (from 1; the short block counts too)
  // from the disk takes before it is sent: a floppy.
  std::function<nanoseconds(long number)> read_time = [](long) { return nanoseconds::zero(); };
  // How long writing a received block takes before it is answered.
  nanoseconds write_time{};
  // The identification codes it sends: OS, CPU, version.
  Bytes codes{31, 43, 0x41};
  // A device that ends a read at a poll with whatever has come, so that a
  // frame is read in pieces, each within a fresh time limit, however slow
  // the line (the link's rule for a read that moved fewer bytes than asked).
  bool short_reads = false;
  ReferenceDisk disk;

  // --- The link: LINK_OK or the failing link code (PORT_* for the speed) ---
  long set_baud_rate(const char* baud);  // after a pause of one tick
  long send_data(const wire::UBYTE* data, long len);
  long receive_data(wire::UBYTE* data, long len);
  long send_ACK();
  long send_NAK();

  // --- Transfers: both sides ---
  long send_file(const std::string& name);  // from the disk, under that name
  long receive_file();                      // to the disk, under the header's name
  long receive_akt_dir(std::vector<std::string>& names);  // folders end in "/"
  long send_akt_dir();  // the disk's files; a line that fails twice ends the listing

  // --- Identification ---
  // 's': waits for ever for an intact frame, answers ACK and its own frame,
  // once. 'c': sends its frame once and reads one answer. The result of the
  // one link call that decides it (the service's is always LINK_OK).
  long identify(char mode);
  Bytes peer_codes;  // what the other end's frame carried (after a failed read: our own)

  // --- The service ---
  // identify('s'), then the command loop until the terminate command.
  void serve();
  void exec_commands();
  std::vector<long> statuses;  // of every transfer and speed change, in order

  // --- The customer: each is the command frame, then its exchange ---
  long command(wire::UBYTE code, const std::string& argument = "");
  long get(const std::string& name);
  long put(const std::string& name);
  long list(std::vector<std::string>& names);
  long cd(const std::string& dir);
  long set_baud(long rate);  // and this end switches after the ACK
  long sign_off();           // and this end goes back to 9600
  long terminate();

 private:
  struct Request;
  bool poll(Request& request);
  bool checktimeout(Request& request);
  long transfer(bool write, wire::UBYTE* data, std::size_t length);
  bool transfer_all(bool write, wire::UBYTE* data, std::size_t length);

  host::Clock& clock_;
  std::unique_ptr<lines::Line> line_;
};

// A line for our end and a reference end, paced at `baud` both ways or, with
// 0, at the speed each sender set; `ours` without an output queue (a pty or a
// socket in front of a paced UART), the reference end behind its UART.
void reference_line(SimCable& cable, SimCable::Side ours, long baud = 0);

// Flips a bit of the byte that follows the first `marker` a side writes.
SimCable::Fault damage_after(Bytes marker);

// What one transfer between a reference end and ours came to.
struct TransferOutcome {
  long reference = -1, ours = -1;  // the statuses; -1 when an end reported none
  Bytes received;                  // what the receiving end holds afterwards
};
// Troubles on the cable and knobs of the reference end, given the side that
// sends; and a transfer of `content` at `baud` (0: each end at the speed it
// set, 9600 to begin with), from our end or to it, with them arranged.
using Arrangement = std::function<void(SimCable&, SimCable::Side sender, ReferencePeer&)>;
using TransferRunner =
    std::function<TransferOutcome(const Bytes& content, long baud, bool ours_send, const Arrangement& setup)>;

// "reference 14, ours 0, received 1 1 2": an outcome's figures, the blocks
// of `content` received by number from 1 ("?" for one that is none of them).
std::string figures(const TransferOutcome& outcome, const Bytes& content);

// How a transfer ended for both ends: "right file" (success at both), "failed
// at both ends", or what must not happen: "WRONG FILE AS SUCCESS at ...",
// "success only at ...".
std::string verdict(const TransferOutcome& outcome, const Bytes& content);

// Runs a transfer at 9600 and at 115200 baud, from ours and to ours, clean,
// with the answer to the first block frame lost, a byte of that frame
// damaged, or the reference end taking 1.5 s to read (as sender) or write (as
// receiver) each block, and checks every outcome for the right file with success at
// both ends; but where a reference receiver's ACK is lost, the line's own
// limit: no right file is possible there, and ours must not report success.
void expect_sound_transfers(const TransferRunner& run);

}  // namespace quorvantix::testsupport
