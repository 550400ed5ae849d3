// This process's own end of a link, for running the shared transfer halves in
// a test (or a benchmark) against a peer on the other end of a pty pair. The
// link layer has one request per process, so a process is one end only.
#pragma once

#include <cstdint>
#include <string>

#include "support/pty_pair.h"

namespace testsupport {

class LinkEnd {
 public:
  enum class Side {
    slave,   // opens the slave path like any tty; the test plays the peer on the master
    master,  // runs on the master descriptor; the peer (a service) opens the slave
  };
  // Opens the link layer (allocport) on one side of `pty`; throws on failure.
  LinkEnd(const PtyPair& pty, Side side);
  // Closes it again (freeport).
  ~LinkEnd();
  LinkEnd(const LinkEnd&) = delete;
  LinkEnd& operator=(const LinkEnd&) = delete;
};

// Sends a command frame from this process's end, as the customer program
// does. The link result (LINK_OK once the service acknowledged it).
long send_command(std::uint8_t code, const std::string& argument = "");

}  // namespace testsupport
