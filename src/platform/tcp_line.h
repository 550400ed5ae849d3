// Lines over TCP: the serial port that an emulator, a virtual machine or a
// terminal server offers on the network.
//
// "tcp:HOST:PORT" connects to such a port; "tcp-listen:PORT" and
// "tcp-listen:ADDR:PORT" listen for peers that connect out to us, on
// 127.0.0.1 unless an address is given. An IPv6 address goes in brackets
// ("tcp:[::1]:2323"). Bytes pass as they are, 0xFF included (no telnet
// escaping); small frames leave at once (no Nagle delay), and a peer that
// vanishes without a word is noticed by keepalive within about half a minute.
// A line speed is accepted and has no effect.
//
// A peer that closes its side or resets the connection has gone at once: the
// line is lost, and what the peer sent that was not yet read is dropped. A
// listening line listens as long as it lives: one peer has the line, the
// next waits in the socket's queue and takes it as soon as the one before has
// gone (Line::take_next_peer). A peer that has not identified within a second
// of connecting gives its place to a connection that waits; one that has
// (Line::keep_peer) keeps the line however long it stays silent.
#pragma once

#include <memory>
#include <string>

#include "platform/serial_line.h"

namespace platform {

// True for the names that this file opens: "tcp:..." and "tcp-listen:...".
bool is_tcp_line_name(const std::string& name);

// Connects (waiting at most 5 s), or starts listening. A listening line is open
// before its first peer has come: until then it moves no bytes, and it takes
// the peer as soon as one connects. Returns null, with `error` filled
// ("connect(tcp:127.0.0.1:2323): Connection refused"), when the name is
// malformed or the line cannot be had.
std::unique_ptr<Line> open_tcp_line(const std::string& name, std::string& error);

}  // namespace platform
