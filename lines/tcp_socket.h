// Names and sockets of the TCP line: what tcp_line_posix.cpp and
// tcp_socket_posix.cpp share.
#pragma once

#include <netdb.h>

#include <string>

#include "host/unique_fd.h"

namespace quorvantix::lines {

struct Endpoint {
  std::string host;
  std::string port;
};

struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) freeaddrinfo(first);
  }
};

// Takes "tcp:HOST:PORT" or "tcp-listen:[ADDR:]PORT" apart; false, with
// `error` saying how to give the line, for a name it cannot use.
bool parse_name(const std::string& name, bool& listening, Endpoint& endpoint, std::string& error);
// The addresses of `endpoint`; false, with `error` filled, when there are none.
bool resolve(const std::string& name, const Endpoint& endpoint, bool listening, AddressList& addresses,
             std::string& error);
// Stop and wait sends one small frame and then waits for one byte: Nagle's
// algorithm would hold every such frame back for the peer's delayed ACK.
bool tune_peer_socket(int fd, const std::string& name, std::string& error);
// A socket connected to `address` within 5 s; an empty one, with `error`
// filled, when it is not.
host::UniqueFd connect_within_limit(const addrinfo& address, const std::string& name, std::string& error);
// A socket listening on `address`; an empty one, with `error` filled.
host::UniqueFd listen_on(const addrinfo& address, const std::string& name, std::string& error);

}  // namespace quorvantix::lines
