// A terminal server that breaks the rules, on a real TCP port of 127.0.0.1:
// each connection runs the test's script in a thread of its own, with raw
// bytes. For our rfc2217: lines in process and for the real programs.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/unique_fd.h"
#include "tests/support/sim_link.h"

namespace quorvantix::testsupport {

class HostileTerminalServer {
 public:
  // Runs on one connection's descriptor until it returns or `stopping` turns true.
  using Script = std::function<void(int fd, const std::atomic<bool>& stopping)>;

  explicit HostileTerminalServer(Script script);
  ~HostileTerminalServer();  // stops the scripts and closes every connection
  HostileTerminalServer(const HostileTerminalServer&) = delete;
  HostileTerminalServer& operator=(const HostileTerminalServer&) = delete;

  // "rfc2217:127.0.0.1:PORT"
  std::string line() const { return "rfc2217:127.0.0.1:" + std::to_string(port_); }
  // Connections taken so far.
  int connections() const { return connections_.load(); }

  // --- Steps for scripts ---
  // Takes what a client offers and asks, and answers its port settings with
  // the values asked, for as long as it sends (until it has been quiet for 0.3 s).
  static void agree(int fd);
  // Sends `pattern` again and again until `stopping`, and reads nothing.
  static void flood(int fd, const Bytes& pattern, const std::atomic<bool>& stopping);

 private:
  void accept_connections();

  Script script_;
  host::UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::vector<std::thread> scripts_;
  std::thread acceptor_;
};

}  // namespace quorvantix::testsupport
