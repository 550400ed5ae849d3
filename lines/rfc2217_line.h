// Serial ports on the network whose settings we set: "rfc2217:HOST:PORT".
//
// Terminal servers (ser2net among them) offer a serial port as a Telnet
// server with the COM-PORT-OPTION of RFC 2217, which lets the client set the
// port's speed and framing. Such a line is a TCP connection (tcp_line.h: the
// same connecting, keepalive and immediate sending) that speaks Telnet:
// - At the open we offer COM-PORT-OPTION and ask for binary transmission both
//   ways, so that the server translates no byte. A server that refuses
//   either, or has not settled the negotiation within 5 s, is refused as a
//   line, with the reason. Other options the server offers are declined,
//   except suppress-go-ahead, which is taken. A request is answered once per
//   change: a server that repeats one gets no second answer.
// - Data bytes 0xFF (IAC) cross doubled, both ways. Every other Telnet command
//   in the stream (option negotiation, subnegotiation, NOP, go-ahead, a data
//   mark, ...) is handled, also when it is split across reads, and never
//   passed on as data.
// - set_speed sends SET-BAUDRATE with the rate, SET-DATASIZE 8, SET-PARITY
//   none, SET-STOPSIZE 1 and SET-CONTROL no flow control, after the data
//   written before it, and waits at most 2 s for the server's answer to each.
//   An answer with another value (the server did not take it) or none at all
//   fails the change (false, with the reason); a port that the server did
//   switch is then set back to the speed it had.
// - The server's line-state and modem-state notifications are taken and
//   ignored. While the server has asked us to hold (FLOWCONTROL-SUSPEND),
//   nothing is sent until it resumes; data written meanwhile waits in the line
//   and counts as queued output.
//
// Data that arrives while the line waits for the negotiation or an answer is
// kept for the next read, up to 1 MiB: past that an answer counts as missing.
// A line that the server closes is lost at once, like a tcp: line. So is one
// whose server breaks the rules, with the reason (Line::lost_reason): a
// subnegotiation of more than 4 KiB, binary transmission ended, or 64 KiB of
// our bytes left unread while it goes on asking for answers. A server that
// sends without end holds no wait beyond its time limit.
#pragma once

#include <memory>
#include <string>

#include "host/clock.h"
#include "lines/serial_line.h"

namespace quorvantix::lines {

// True for the names that this file opens: "rfc2217:...".
bool is_rfc2217_line_name(const std::string& name);

// Connects to the terminal server that `name` ("rfc2217:HOST:PORT", an IPv6
// address in brackets) names, waiting at most 5 s for the connection and 5 s
// for the negotiation. Null, with `error` filled ("rfc2217:10.0.0.5:7000: the
// server refuses binary transmission, ..."), when it cannot be had. The port
// keeps its settings until set_speed is called.
std::unique_ptr<Line> open_rfc2217_line(const std::string& name, std::string& error);

// The same over a `transport` that is connected already, with the waits on
// `clock` (which must outlive the line); messages name the line `name`.
std::unique_ptr<Line> rfc2217_line_over(std::unique_ptr<Line> transport, host::Clock& clock, const std::string& name,
                                        std::string& error);

}  // namespace quorvantix::lines
