// The host serial line: what the link layer needs of a serial device, over termios.
//
// The link layer drives one request at a time through the classic device cycle:
// create a reply port and a request, open the device, set parameters, start a
// transfer, poll it, abort it, wait for it, close, release. Time is counted in
// ticks of 1/50 s.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct IOExtSer;

namespace platform {

enum class Direction { in, out };

// A line as a byte pipe that never blocks. The tty backend sits on a real
// terminal device; tests install fakes of their own.
class Line {
 public:
  virtual ~Line() = default;

  // Moves what can be moved now. Returns the number of bytes moved (0 when the
  // line has nothing for us yet), or -1 when the line has failed (hang-up, I/O
  // error, end of file).
  virtual long read_some(std::uint8_t* into, std::size_t count) = 0;
  virtual long write_some(const std::uint8_t* from, std::size_t count) = 0;

  // Blocks until bytes can move in the given direction or `limit` has passed.
  // A failed line waits out the whole limit, so that nobody spins on it.
  virtual void wait_ready(Direction direction, std::chrono::nanoseconds limit) = 0;

  // Applies the line settings of the request (speed, 8N1, no flow control)
  // after everything already written has left. Returns false, with `error`
  // filled and the line left as it was, when the line cannot take them.
  virtual bool apply_settings(const IOExtSer& settings, std::string& error) = 0;

  // The clock the time limits run on.
  virtual std::chrono::nanoseconds now() const;

  // True once the line has gone for good (the device vanished, the far end of
  // a pty closed, the TCP peer left): nothing moves on it again until it is
  // opened anew.
  virtual bool lost() const { return false; }
};

}  // namespace platform

// Request commands.
constexpr std::uint16_t CMD_READ = 2;
constexpr std::uint16_t CMD_WRITE = 3;
constexpr std::uint16_t SDCMD_SETPARAMS = 11;

// Serial flags of the line settings.
constexpr std::uint8_t SERF_PARTY_ON = 0x01;
constexpr std::uint8_t SERF_PARTY_ODD = 0x02;
constexpr std::uint8_t SERF_7WIRE = 0x04;
constexpr std::uint8_t SERF_XDISABLED = 0x80;
constexpr std::uint8_t SERF_RAD_BOOGIE = 0x10;

// The reply port of a request. The host needs nothing in it; it exists so that
// the request's life cycle reads as on any serial device.
struct MsgPort {
  int signal_bit = -1;
};

// One serial I/O request with its line settings. At most one transfer is in
// flight on it at any time.
struct IOExtSer {
  MsgPort* io_ReplyPort = nullptr;
  std::unique_ptr<platform::Line> io_Device;  // null until the device is open
  std::uint16_t io_Command = 0;
  std::int8_t io_Error = 0;
  std::uint32_t io_Actual = 0;  // bytes moved by the last transfer
  std::uint32_t io_Length = 0;
  void* io_Data = nullptr;

  long io_Baud = 9600;
  std::uint32_t io_RBufLen = 0;
  std::uint8_t io_ReadLen = 8;
  std::uint8_t io_WriteLen = 8;
  std::uint8_t io_StopBits = 1;
  std::uint8_t io_SerFlags = 0;
  std::uint32_t io_ExtFlags = 0;

  bool io_Pending = false;  // a transfer was started and has not ended
};

namespace platform {

// The length of one tick: 20 ms, or what a test has set.
std::chrono::nanoseconds tick();

// Maps a device name and unit to a path: a name beginning with "/" is used as
// it is; "serial.device", "usbserial.device" and "acm.device" select
// /dev/ttyS<unit>, /dev/ttyUSB<unit> and /dev/ttyACM<unit>; "tcp:..." and
// "tcp-listen:..." names (platform/tcp_line.h) are kept as they are. Returns
// the empty string, with `error` filled, for any other name.
std::string device_path(const std::string& device, long unit, std::string& error);

// What went wrong with the last failed open or parameter change, as
// "open(/dev/ttyS0): Device or resource busy".
const std::string& last_line_error();

namespace testing {
// Shortens (or restores, with 20 ms) the tick. For tests only.
void set_tick(std::chrono::nanoseconds length);
// The next open_device hands out this line instead of opening a device.
void install_line(std::unique_ptr<Line> line);
}  // namespace testing

}  // namespace platform

// --- The device cycle ---

// Creates a reply port; null on failure.
MsgPort* create_reply_port();
// Creates a request tied to `port`; null on failure.
IOExtSer* create_serial_request(MsgPort* port);
// Opens unit `unit` of `device` for exclusive use on `request`. 0 on success
// (io_Device is then set); non-zero, with last_line_error() filled, otherwise.
int open_device(const char* device, long unit, IOExtSer* request);
// Runs a SDCMD_SETPARAMS request to its end. 0 on success, non-zero on any error.
int do_io(IOExtSer* request);
// Starts the CMD_READ or CMD_WRITE set up in the request, without waiting. A
// read ends when io_Length bytes have arrived, a write once it has moved bytes.
void send_io(IOExtSer* request);
// True once the transfer has ended (or none is pending). Never blocks.
bool check_io(IOExtSer* request);
// Makes a pending transfer end at once; harmless on one that has ended.
void abort_io(IOExtSer* request);
// Returns when the transfer has ended; at once if it already has.
void wait_io(IOExtSer* request);
// Sleeps at most `ticks` ticks, ending early as soon as the pending transfer has ended.
void wait_io_ticks(IOExtSer* request, int ticks);
// Closes the device; the line is free again.
void close_device(IOExtSer* request);
// True when the request has no open line, or its line has gone for good (see
// Line::lost). A transfer on a lost line moves nothing and ends only at the
// time limit; a caller that sees LINK_TIMEOUT asks this to tell a silent peer
// from a line that is not there any more.
bool line_lost(const IOExtSer* request);
void free_serial_request(IOExtSer* request);
void free_reply_port(MsgPort* port);
// Sleeps the given number of ticks.
void delay_ticks(int ticks);
