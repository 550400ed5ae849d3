// The serial port, the time limit on every transfer, and link frames.
//
// A link frame is STX (0x02), a payload whose length both ends know in advance
// (0 to 1024 bytes), the check byte calc_LPC of the payload, and ETX (0x03).
// Every frame is answered by one bare byte, ACK or NAK. Every transfer on the
// line gets the time limit: 21 polls with a wait of 5 ticks after each, 2.1 s.
#pragma once

#include <chrono>

#include "transfer_ext.h"

constexpr UBYTE STX = 0x02;
constexpr UBYTE ETX = 0x03;
constexpr UBYTE ACK = 0x06;
constexpr UBYTE NAK = 0x15;
constexpr long kMaxPayload = 1024;
constexpr int kPollsPerOperation = 21;
constexpr int kTicksBetweenPolls = 5;
constexpr int kTicksBeforeParamChange = 1;

// Opens unit `port` of `device` and sets the line to 9600 baud, 8N1, no flow
// control. Returns PORT_OK, PORT_PARAMS_FAILED, PORT_NO_REPLY_PORT,
// PORT_NO_REQUEST or PORT_OPEN_FAILED; whatever it created stays for freeport.
long allocport(long port, const char* device);
// Ends a pending transfer, closes the device, releases request and port. Always 0.
long freeport(long port);
// Sets the line speed from the decimal text `baud` (and all other settings
// again). PORT_OK, or PORT_PARAMS_FAILED with the line left as it was.
long set_baud_rate(const char* baud);
// Waits, within the time limit, for the transfer just started on `request`.
// 0 when it completed; 1 when the limit ran out and it was aborted.
BOOL checktimeout(IOExtSer* request);

// The check byte of `len` bytes: their exclusive-or, moved off the values 128
// to 131; 4 for no bytes.
std::uint8_t calc_LPC(const UBYTE* data, long len);
// Sends `len` bytes as one frame and reads the one-byte answer.
// LINK_OK (answer ACK), LINK_NOT_ACKED, LINK_SEND_TIMEOUT or LINK_TIMEOUT.
long send_data(const char* data, long len);
// Receives one frame of `len` payload bytes into `data` (len + 1 bytes, a NUL
// is put after the payload). LINK_OK, LINK_CHECK_ERROR (payload stored all the
// same) or LINK_TIMEOUT (data untouched).
long receive_data(UBYTE* data, long len);
// As receive_data, but a frame that does not begin with STX and end with ETX
// is damaged too (LINK_CHECK_ERROR): a read out of step with the sender, by a
// byte that a fault added or took away, shows there even where the check byte
// happens to match.
long receive_framed_data(UBYTE* data, long len);
// The whole time limit of one transfer on the line: 21 waits of 5 ticks.
std::chrono::nanoseconds time_limit();
// Takes and drops what arrives until the line has been quiet for `quiet`, at
// most `limit` in all. False when it never went quiet, or no line is open.
bool drop_input_until_quiet(std::chrono::nanoseconds quiet, std::chrono::nanoseconds limit);

// Write the one answer byte. 0, or LINK_TIMEOUT.
BOOL send_ACK();
BOOL send_NAK();
