// The host line: what the link layer needs of a serial device.
//
// A line is a byte pipe that never blocks; the link (wire/link.h) drives it
// through its request cycle and its time limits. Lines are opened by name:
// a terminal device (a serial port, a USB adapter, a pty) over termios, or a
// serial port on the network (lines/tcp_line.h, lines/rfc2217_line.h).
// Tests open lines of their own through the same opener type.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lines/listen_rules.h"

namespace quorvantix::lines {

enum class Direction { in, out };

class Line {
 public:
  virtual ~Line() = default;

  // Moves what can be moved now. Returns the number of bytes moved (0 when the
  // line has nothing for us yet), or -1 when the line has failed (hang-up, I/O
  // error, end of file).
  virtual long read_some(std::uint8_t* into, std::size_t count) = 0;
  virtual long write_some(const std::uint8_t* from, std::size_t count) = 0;

  // The bytes written that have not yet left the port. Only a serial port
  // has them: on a pty or a socket, written bytes count as gone at once.
  virtual std::size_t output_queued() const { return 0; }

  // Throws away the bytes written that have not yet left the port, so that a
  // write that was given up does not go out after all.
  virtual void discard_output() {}

  // Blocks until bytes can move in the given direction, or (out) the output
  // queue has drained, or `limit` has passed. A failed line waits out the
  // whole limit, so that nobody spins on it.
  virtual void wait_ready(Direction direction, std::chrono::nanoseconds limit) = 0;

  // Sets the speed in baud, with 8N1 and no flow control, after everything
  // already written has left. Returns false, with `error` filled and the line
  // left as it was, when the line cannot take it.
  virtual bool set_speed(long baud, std::string& error) = 0;

  // False for a line whose speed reaches no serial port: a plain TCP
  // connection takes any speed without effect, and a port at its far end (a
  // terminal server's, an emulator's) keeps the speed it has.
  virtual bool speed_reaches_port() const { return true; }

  // True once the line has gone for good (the device vanished, the far end of
  // a pty closed, the TCP peer left or closed its side): nothing moves on it
  // again until it is taken up anew.
  virtual bool lost() const { return false; }
  // Why a lost line was given up, where that is more than its far end
  // closing or failing (a terminal server that broke the rules of Telnet): a
  // sentence that names the line. Empty otherwise.
  virtual std::string lost_reason() const { return {}; }

  // Takes up a lost line again where that needs no new open: a line that
  // listens for TCP peers drops the peer that has gone and takes the next one
  // on the socket it listens on all along. False for every other line: it
  // must be closed and opened again.
  virtual bool take_next_peer() { return false; }

  // The address of the peer at the far end ("192.0.2.7:51234", for a line
  // that listens: the peer that has the line now); empty for a line that is
  // not on the network, and while no peer has it.
  virtual std::string peer_address() const { return {}; }

  // The customer has signed off: a line that listens for TCP peers lets it
  // wait with the other peers, and gives itself to the first that greets
  // (listen_rules.h). Other lines ignore this.
  virtual void between_customers() {}
};

// Opens the line that a device name and a unit select; null, with `error`
// filled ("open(/dev/ttyS0): the line is in use by another program"), when it
// cannot be had.
using LineOpener = std::function<std::unique_ptr<Line>(const std::string& device, long unit, std::string& error)>;

// Where programs that share serial lines leave their lock files.
constexpr char kLockDirectory[] = "/run/lock";

// The host's lines: terminal devices by path or device name, and tcp: and
// rfc2217: lines.
// A terminal device is opened for exclusive use: refused while another
// program holds it, by flock or by a lock file in kLockDirectory
// (line_lock.h), and locked both ways while it is ours; its own settings go
// back on it when it is closed.
std::unique_ptr<Line> open_host_line(const std::string& device, long unit, std::string& error);
// The same lines, with the lock files in `lock_directory`, and listening
// lines that choose their peers by `rules`.
LineOpener host_line_opener(std::string lock_directory, ListenRules rules = {});

// Maps a device name (of any length) and unit to a path: a name beginning
// with "/" is used as it is; "serial.device", "usbserial.device" and
// "acm.device" select /dev/ttyS<unit>, /dev/ttyUSB<unit> and
// /dev/ttyACM<unit>; "tcp:...", "tcp-listen:..." and "rfc2217:..." names
// are kept as they are. Returns the empty string, with `error` filled, for any other name.
std::string device_path(const std::string& device, long unit, std::string& error);
// True when `device` alone names a line: a path, a tcp:, tcp-listen: or
// rfc2217: name, or one of the three device names (which then take unit 0).
bool names_a_device(const std::string& device);

}  // namespace quorvantix::lines
