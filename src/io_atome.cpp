#include "io_atome.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kReceiveBufferBytes = 2048;
constexpr std::uint8_t kLineFlags = SERF_XDISABLED | SERF_RAD_BOOGIE;
constexpr UBYTE kNoAnswerYet = 0x66;  // anything but ACK

void debug_line(const char* text) {
  if (ADebug) std::printf("%s\n", text);
}

// Starts one transfer on the request and waits for it within the time limit.
// Returns false on a time-out.
bool transfer(std::uint16_t command, void* data, std::uint32_t length) {
  ioreq->io_Command = command;
  ioreq->io_Data = data;
  ioreq->io_Length = length;
  send_io(ioreq);
  return checktimeout(ioreq) == 0;
}

BOOL send_answer(UBYTE answer) {
  return transfer(CMD_WRITE, &answer, 1) ? static_cast<BOOL>(LINK_OK) : static_cast<BOOL>(LINK_TIMEOUT);
}

}  // namespace

long allocport(long port, const char* device) {
  hw_MsgPort = create_reply_port();
  if (hw_MsgPort == nullptr) return PORT_NO_REPLY_PORT;
  ioreq = create_serial_request(hw_MsgPort);
  if (ioreq == nullptr) return PORT_NO_REQUEST;
  if (open_device(device, port, ioreq) != 0) return PORT_OPEN_FAILED;
  debug_line("setbaudrate");
  return set_baud_rate("9600");
}

long freeport(long /*port*/) {
  if (ioreq != nullptr && ioreq->io_Device) {
    if (!check_io(ioreq)) abort_io(ioreq);
    wait_io(ioreq);
    close_device(ioreq);
  }
  if (ioreq != nullptr) free_serial_request(ioreq);
  if (hw_MsgPort != nullptr) free_reply_port(hw_MsgPort);
  ioreq = nullptr;
  hw_MsgPort = nullptr;
  return 0;
}

long set_baud_rate(const char* baud) {
  delay_ticks(kTicksBeforeParamChange);
  ioreq->io_Command = SDCMD_SETPARAMS;
  ioreq->io_SerFlags = kLineFlags;
  ioreq->io_Baud = std::strtol(baud, nullptr, 10);
  ioreq->io_ReadLen = 8;
  ioreq->io_WriteLen = 8;
  ioreq->io_StopBits = 1;
  ioreq->io_RBufLen = kReceiveBufferBytes;
  ioreq->io_ExtFlags = 0;
  return do_io(ioreq) != 0 ? PORT_PARAMS_FAILED : PORT_OK;
}

BOOL checktimeout(IOExtSer* request) {
  int polls_left = kPollsPerOperation;
  for (;;) {
    if (check_io(request)) {
      debug_line("NO TIMEOUT");
      return 0;
    }
    --polls_left;
    // Ends early once the transfer is done: stop and wait pays this on every frame.
    wait_io_ticks(request, kTicksBetweenPolls);
    if (polls_left == 0) {
      if (check_io(request)) return 0;  // done just as the limit ran out
      abort_io(request);
      wait_io(request);
      debug_line("TIMEOUT");
      return 1;
    }
  }
}

std::uint8_t calc_LPC(const UBYTE* data, long len) {
  if (len < 1) return 4;
  UBYTE x = 0;
  for (long i = 0; i < len; ++i) x ^= data[i];
  if (x >= 3 && x <= 127) return x;
  return static_cast<std::uint8_t>(x + 4);
}

namespace {
bool payload_fits(long len) { return len >= 0 && len <= kMaxPayload; }
}  // namespace

long send_data(const char* data, long len) {
  if (!payload_fits(len)) return LINK_NOT_ACKED;
  UBYTE reqdata[kMaxPayload + 3] = {};
  UBYTE answer = kNoAnswerYet;
  const auto* payload = reinterpret_cast<const UBYTE*>(data);
  reqdata[0] = STX;
  if (len > 0) std::memcpy(reqdata + 1, payload, static_cast<std::size_t>(len));
  reqdata[len + 1] = calc_LPC(payload, len);
  reqdata[len + 2] = ETX;
  const auto frame_length = static_cast<std::uint32_t>(len + 3);
  for (std::uint32_t act_len = 0; act_len < frame_length; act_len += ioreq->io_Actual) {
    if (!transfer(CMD_WRITE, reqdata + act_len, frame_length - act_len)) return LINK_SEND_TIMEOUT;
  }
  if (!transfer(CMD_READ, &answer, 1)) return LINK_TIMEOUT;
  return answer == ACK ? LINK_OK : LINK_NOT_ACKED;
}

namespace {

// receive_data, telling also whether the frame began with STX and ended with ETX.
long receive_frame(UBYTE* data, long len, bool& framed) {
  framed = false;
  if (!payload_fits(len)) return LINK_CHECK_ERROR;
  UBYTE reqdata[kMaxPayload + 3] = {};
  const auto frame_length = static_cast<std::uint32_t>(len + 3);
  for (std::uint32_t act_len = 0; act_len < frame_length; act_len += ioreq->io_Actual) {
    if (!transfer(CMD_READ, reqdata + act_len, frame_length - act_len)) return LINK_TIMEOUT;
  }
  if (len > 0) std::memcpy(data, reqdata + 1, static_cast<std::size_t>(len));
  data[len] = 0;
  framed = reqdata[0] == STX && reqdata[len + 2] == ETX;
  return calc_LPC(data, len) == reqdata[len + 1] ? LINK_OK : LINK_CHECK_ERROR;
}

}  // namespace

long receive_data(UBYTE* data, long len) {
  bool framed = false;
  return receive_frame(data, len, framed);
}

long receive_framed_data(UBYTE* data, long len) {
  bool framed = false;
  const long result = receive_frame(data, len, framed);
  return result == LINK_OK && !framed ? LINK_CHECK_ERROR : result;
}

BOOL send_ACK() { return send_answer(ACK); }

BOOL send_NAK() { return send_answer(NAK); }

std::chrono::nanoseconds time_limit() { return kPollsPerOperation * kTicksBetweenPolls * platform::tick(); }

bool drop_input_until_quiet(std::chrono::nanoseconds quiet, std::chrono::nanoseconds limit) {
  using std::chrono::nanoseconds;
  if (ioreq == nullptr || !ioreq->io_Device) return false;
  platform::Line& line = *ioreq->io_Device;
  UBYTE scrap[kMaxPayload];
  const nanoseconds deadline = line.now() + limit;
  nanoseconds quiet_since = line.now();
  for (nanoseconds now = quiet_since; now < deadline; now = line.now()) {
    if (line.read_some(scrap, sizeof scrap) > 0) {
      quiet_since = line.now();
      continue;
    }
    if (now - quiet_since >= quiet) return true;
    line.wait_ready(platform::Direction::in, std::min(quiet - (now - quiet_since), deadline - now));
  }
  return false;
}
