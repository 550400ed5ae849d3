// The far end of a TCP line for tests, on loopback: a listener that a service
// on a "tcp:" line connects to, and the connected peer that plays the customer.
#pragma once

#include <chrono>
#include <string>

#include "platform/unique_fd.h"
#include "support/pty_pair.h"

namespace testsupport {

class TcpPeer {
 public:
  // Connects to 127.0.0.1:`port`, trying again until it listens or `limit` runs out.
  static TcpPeer connect(int port, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // One attempt; true when 127.0.0.1:`port` took the connection.
  static bool accepts_connection(int port);

  explicit TcpPeer(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  // Writes all bytes.
  void send(const Bytes& bytes) const;
  // Reads exactly `count` bytes, or what arrived when `limit` ran out or the line closed.
  Bytes receive(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  // Closes the connection, as a peer that goes away.
  void close() { fd_.reset(); }

 private:
  platform::UniqueFd fd_;
};

class TcpListener {
 public:
  // Listens on 127.0.0.1, on a port the system picks.
  TcpListener();
  int port() const { return port_; }
  // The next connection; throws when none comes within `limit`.
  TcpPeer accept(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  platform::UniqueFd fd_;
  int port_ = 0;
};

// A loopback port that nothing listens on at the moment of the call.
int unused_tcp_port();

}  // namespace testsupport
