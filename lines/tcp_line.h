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
// listening line listens as long as it lives: of the peers that connect, one
// at a time has the line, chosen and kept by the rules of listen_rules.h;
// when it goes, the line takes up the next (Line::take_next_peer), and once
// it has signed off (Line::between_customers) it waits with the others.
#pragma once

#include <memory>
#include <string>

#include "lines/listen_rules.h"
#include "lines/serial_line.h"

namespace quorvantix::lines {

// True for the names that this file opens: "tcp:..." and "tcp-listen:...".
bool is_tcp_line_name(const std::string& name);

// True for "tcp-listen:..." names.
bool is_listening_line_name(const std::string& name);

// Connects (waiting at most 5 s), or starts listening. A listening line is open
// before its first peer has come: until a peer has the line it moves no
// bytes; `rules` say which peer gets it. Returns null, with `error` filled
// ("connect(tcp:127.0.0.1:2323): Connection refused"), when the name is
// malformed or the line cannot be had.
std::unique_ptr<Line> open_tcp_line(const std::string& name, const ListenRules& rules, std::string& error);

// True when the listening line `name` would be reached from other machines:
// its address is no loopback address (0.0.0.0, ::, a host's own address).
// False for a name that is no listening line or cannot be resolved.
bool listens_beyond_loopback(const std::string& name);

}  // namespace quorvantix::lines
